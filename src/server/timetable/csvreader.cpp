// The CSV reader of the timetable import: libcsv does the RFC 4180 quoting;
// this file hands each record to the import with the line it starts on, so
// that a fault can be reported as "file:line". Text arrives in pieces, so a
// file of any size is read in the memory of one record: a field longer than
// CSV_FIELD_LIMIT, or a quote never closed, is a fault of the file.
#include <csv.h>

#include <algorithm>

#include "server/timetable/timetable.h"

struct CsvParse {
    struct csv_parser parser;          // libcsv's state between pieces
    const CsvRecordHandler* onRecord;  // called once per record
    std::vector<std::string> fields;   // the record being read
    int32_t line = 1;                  // the line being read
    int32_t recordLine = 1;            // the line the current record started on
    bool afterCr = false;              // the last thing read was a CR ending a line
    std::string head;                  // the first bytes, held until they show whether they are a signature
    bool started = false;              // the head was passed on (or dropped as a signature)
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

namespace {

const std::string SIGNATURE = "\xEF\xBB\xBF";

bool parseBytes(CsvParse* parse, const char* bytes, size_t size, std::string* error) {
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

// Passes the held first bytes on, unless they are the UTF-8 signature.
bool passHead(CsvParse* parse, std::string* error) {
    parse->started = true;
    return parse->head == SIGNATURE || parseBytes(parse, parse->head.data(), parse->head.size(), error);
}

}  // namespace

bool csvFeed(CsvParse* parse, const char* bytes, size_t size, std::string* error) {
    if (!parse->started) {
        // The signature may come split over pieces: the first bytes wait
        // while they could still be one.
        const size_t take = std::min(SIGNATURE.size() - parse->head.size(), size);
        parse->head.append(bytes, take);
        bytes += take;
        size -= take;
        if (parse->head.size() < SIGNATURE.size() &&
            SIGNATURE.compare(0, parse->head.size(), parse->head) == 0) {
            return true;
        }
        if (!passHead(parse, error)) {
            return false;
        }
    }
    return parseBytes(parse, bytes, size, error);
}

bool csvFinish(CsvParse* parse, std::string* error) {
    if (!parse->started && !passHead(parse, error)) {
        return false;
    }
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
