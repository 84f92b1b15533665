// Recording stand-ins for the calls the hand-over and melody playback make
// into the window and the system, so tests see what would have happened.
#pragma once

#include <string>
#include <vector>

extern std::vector<std::u16string> recordedMciCommands;
extern int recordedRelayouts;
extern int recordedTitleUpdates;
extern int mciOpenResult;  // what an "open" command returns (0: success)

void clearRecordings();
