// The CSV reader of the timetable import: libcsv does the RFC 4180 quoting;
// this file hands each record to the import with the line it starts on, so
// that a fault can be reported as "file:line".
#include <csv.h>

#include <cstring>

#include "server/timetable/timetable.h"

namespace {

struct CsvState {
    const CsvRecordHandler* onRecord;
    std::vector<std::string> fields;
    int32_t line;        // the line being read
    int32_t recordLine;  // the line the current record started on
    bool afterCr;        // the last thing read was a CR ending a line
};

void onField(void* data, size_t size, void* context) {
    CsvState* state = static_cast<CsvState*>(context);
    state->afterCr = false;
    if (state->fields.empty()) {
        state->recordLine = state->line;
    }
    const char* text = static_cast<const char*>(data);
    state->fields.emplace_back(text == nullptr ? "" : std::string(text, size));
    // A quoted field may hold line breaks; the next record starts lower.
    for (size_t i = 0; i < size; ++i) {
        if (text[i] == '\n') {
            ++state->line;
        }
    }
}

// With CSV_REPALL_NL every CR and LF ends a record, so blank lines arrive as
// records without fields, and a CR LF as a record followed by an empty one.
// A CR, an LF and a CR LF each end one line.
void onRecordEnd(int terminator, void* context) {
    CsvState* state = static_cast<CsvState*>(context);
    if (!state->fields.empty()) {
        (*state->onRecord)(state->fields, state->recordLine);
        state->fields.clear();
    }
    if (terminator == '\r' || (terminator == '\n' && !state->afterCr)) {
        ++state->line;
    }
    state->afterCr = terminator == '\r';
}

}  // namespace

bool readCsv(const char* bytes, size_t size, const CsvRecordHandler& onRecord, std::string* error) {
    if (size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
        bytes += 3;
        size -= 3;
    }
    struct csv_parser parser;
    if (csv_init(&parser, CSV_REPALL_NL) != 0) {
        *error = "out of memory";
        return false;
    }
    CsvState state{&onRecord, {}, 1, 1, false};
    bool ok = csv_parse(&parser, bytes, size, onField, onRecordEnd, &state) == size;
    if (ok) {
        ok = csv_fini(&parser, onField, onRecordEnd, &state) == 0;
    }
    if (!ok) {
        *error = std::string("line ") + std::to_string(state.line) + ": " + csv_strerror(csv_error(&parser));
    }
    csv_free(&parser);
    return ok;
}
