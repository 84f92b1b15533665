// The CSV reader of the timetable import: libcsv does the RFC 4180 quoting;
// this file hands each record to the import with the line it starts on, so
// that a fault can be reported as "file:line". Text arrives in pieces, so a
// file of any size is read in the memory of one record: a field longer than
// CSV_FIELD_LIMIT, or a quote never closed, is a fault of the file.
#include <csv.h>

#include <algorithm>
#include <cstring>

#include "server/timetable/timetable.h"

struct CsvParse {
    struct csv_parser parser;          // libcsv's state between pieces
    const CsvRecordHandler* onRecord;  // called once per record
    std::vector<std::string> fields;   // the record being read
    int32_t line = 1;                  // the line being read
    int32_t recordLine = 1;            // the line the current record started on
    bool afterCr = false;              // the last thing read was a CR ending a line
    bool started = false;              // the first piece (with a signature) was seen
};

namespace {

// Pieces handed to libcsv at most this long, so that a field past the limit
// is caught within one piece of it.
constexpr size_t CSV_PIECE = 65536;

void onField(void* data, size_t size, void* context) {
    CsvParse* state = static_cast<CsvParse*>(context);
    state->afterCr = false;
    if (state->fields.empty()) {
        state->recordLine = state->line;
    }
    const char* text = static_cast<const char*>(data);
    state->fields.emplace_back(text == nullptr ? "" : std::string(text, size));
    // A quoted field may hold line breaks; the next record starts lower.
    state->line += static_cast<int32_t>(std::count(text, text + (text == nullptr ? 0 : size), '\n'));
}

// With CSV_REPALL_NL every CR and LF ends a record, so blank lines arrive as
// records without fields, and a CR LF as a record followed by an empty one.
// A CR, an LF and a CR LF each end one line.
void onRecordEnd(int terminator, void* context) {
    CsvParse* state = static_cast<CsvParse*>(context);
    if (!state->fields.empty()) {
        (*state->onRecord)(state->fields, state->recordLine);
        state->fields.clear();
    }
    if (terminator == '\r' || (terminator == '\n' && !state->afterCr)) {
        ++state->line;
    }
    state->afterCr = terminator == '\r';
}

std::string atLine(int32_t line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

}  // namespace

void CsvParseCloser::operator()(CsvParse* parse) const {
    csv_free(&parse->parser);
    delete parse;
}

CsvParsePtr csvStart(const CsvRecordHandler& onRecord) {
    CsvParsePtr parse(new CsvParse);
    if (csv_init(&parse->parser, CSV_REPALL_NL) != 0) {
        delete parse.release();
        return nullptr;
    }
    parse->onRecord = &onRecord;
    return parse;
}

bool csvFeed(CsvParse* parse, const char* bytes, size_t size, std::string* error) {
    if (!parse->started) {
        parse->started = true;
        if (size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
            bytes += 3;
            size -= 3;
        }
    }
    while (size > 0) {
        const size_t piece = std::min(size, CSV_PIECE);
        if (csv_parse(&parse->parser, bytes, piece, onField, onRecordEnd, parse) != piece) {
            *error = atLine(parse->line, csv_strerror(csv_error(&parse->parser)));
            return false;
        }
        if (parse->parser.entry_pos > CSV_FIELD_LIMIT) {
            *error = atLine(parse->line, "a field longer than " + std::to_string(CSV_FIELD_LIMIT) +
                                             " bytes (a quote never closed?)");
            return false;
        }
        bytes += piece;
        size -= piece;
    }
    return true;
}

bool csvFinish(CsvParse* parse, std::string* error) {
    // Strict at the end only: a quote still open is then an error, not a
    // field that silently swallowed the rest of the file, while a stray
    // quote inside an unquoted field stays a plain character as before.
    csv_set_opts(&parse->parser, CSV_REPALL_NL | CSV_STRICT | CSV_STRICT_FINI);
    if (csv_fini(&parse->parser, onField, onRecordEnd, parse) != 0) {
        // The only error at the end: a quoted field still open, which began
        // on the line the reader stopped counting at.
        *error = atLine(parse->line, "a quoted field is never closed");
        return false;
    }
    return true;
}

bool readCsv(const char* bytes, size_t size, const CsvRecordHandler& onRecord, std::string* error) {
    CsvParsePtr parse = csvStart(onRecord);
    if (parse == nullptr) {
        *error = "out of memory";
        return false;
    }
    return csvFeed(parse.get(), bytes, size, error) && csvFinish(parse.get(), error);
}
