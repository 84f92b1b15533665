// Recording stand-ins linked into test programs in place of the real MCI
// calls and the window's relayout and title.
#include "recording.h"

#include "documents/documents.h"
#include "serverlink/melody.h"
#include "shell/shell.h"

std::vector<std::u16string> recordedMciCommands;
int recordedRelayouts;
int recordedTitleUpdates;
int mciOpenResult;

void clearRecordings() {
    recordedMciCommands.clear();
    recordedRelayouts = 0;
    recordedTitleUpdates = 0;
    mciOpenResult = 0;
}

int32_t mciCommand(const char16_t* command) {
    recordedMciCommands.emplace_back(command);
    return std::u16string(command).rfind(u"open ", 0) == 0 ? mciOpenResult : 0;
}

int32_t shortPathOf(const char16_t*, char16_t*, int32_t) {
    return 0;
}

void relayoutBoard() {
    ++recordedRelayouts;
}

void updateTitle() {
    ++recordedTitleUpdates;
}
