// Fuzz entry for the server's CSV reader fed a raw timetable file: the
// signature, quoting and line ends, the line numbers of the records, and the
// same records whether the text comes whole or in pieces (as the import
// reads a file).
#include <cstddef>
#include <cstdint>

#include "server/timetable/timetable.h"

namespace {

using Records = std::vector<std::pair<std::vector<std::string>, int32_t>>;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    Records whole;
    std::string error;
    const bool wholeOk = readCsv(
        text, size,
        [&](const std::vector<std::string>& fields, int32_t line) {
            // Records come in order, each with a field, never past the text.
            if (fields.empty() || (!whole.empty() && line <= whole.back().second) ||
                static_cast<size_t>(line) > size + 1) {
                __builtin_trap();
            }
            whole.emplace_back(fields, line);
        },
        &error);
    // Pieces of 1 to 8 bytes, by the first byte.
    const size_t piece = size == 0 ? 1 : 1 + data[0] % 8;
    Records pieces;
    const CsvRecordHandler onRecord = [&](const std::vector<std::string>& fields, int32_t line) {
        pieces.emplace_back(fields, line);
    };
    CsvParsePtr parse = csvStart(onRecord);
    bool piecesOk = true;
    for (size_t at = 0; at < size && piecesOk; at += piece) {
        piecesOk = csvFeed(parse.get(), text + at, std::min(piece, size - at), &error);
    }
    piecesOk = piecesOk && csvFinish(parse.get(), &error);
    if (piecesOk != wholeOk || (wholeOk && pieces != whole)) {
        __builtin_trap();
    }
    return 0;
}
