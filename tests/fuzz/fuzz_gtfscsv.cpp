// Fuzz entry for the server's CSV reader fed a raw timetable file: the
// signature, quoting and line ends, and the line numbers of the records.
#include <cstddef>
#include <cstdint>

#include "server/timetable/timetable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int32_t lastLine = 0;
    std::string error;
    readCsv(
        reinterpret_cast<const char*>(data), size,
        [&](const std::vector<std::string>& fields, int32_t line) {
            // Records come in order, each with a field, never past the text.
            if (fields.empty() || line <= lastLine || static_cast<size_t>(line) > size + 1) {
                __builtin_trap();
            }
            lastLine = line;
        },
        &error);
    return 0;
}
