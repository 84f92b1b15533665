// Fuzz entry for the server's request reader: the bytes of a request, cut
// into pieces of input-chosen sizes as a network would deliver them, read
// against a board route (no body) and an operator route (a small body).
// Whatever is read whole must respect the limits: a body no larger than
// its route accepts, a path that its route's pattern matched, and no route
// for a refused request.
//
// Input: byte 0 = the piece size (1..256), the rest = the stream.
#include <cstddef>
#include <cstdint>

#include "server/http/http.h"

namespace {

const RouteTable& routes() {
    static RouteTable table = [] {
        RouteTable built;
        std::vector<HttpRoute> list(2);
        list[0].method = "GET";
        list[0].pattern = R"(/api/boards/(\d{1,9})/display\.txt)";
        list[0].audience = RouteAudience::BOARDS;
        list[1].method = "POST";
        list[1].pattern = "/api/v1/notices";
        list[1].mostBody = 64;
        routeTableBuild(&built, std::move(list));
        return built;
    }();
    return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t piece = data[0] + 1u;
    const char* stream = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;
    RequestReader reader;
    requestReaderStart(&reader);
    ReadStep step = ReadStep::MORE;
    for (size_t at = 0; at < length && step == ReadStep::MORE; at += piece) {
        const size_t take = length - at < piece ? length - at : piece;
        step = requestReaderFeed(&reader, routes(), stream + at, take);
        if (step == ReadStep::HEADER) {
            step = requestReaderFeed(&reader, routes(), nullptr, 0);
        }
        while (step == ReadStep::HEADER) {
            step = requestReaderFeed(&reader, routes(), nullptr, 0);
        }
    }
    if (step == ReadStep::DONE) {
        const HttpRoute* route = reader.route;
        if (route == nullptr || reader.request.body.size() > route->mostBody ||
            reader.request.matches.empty() || reader.request.matches[0] != reader.request.path ||
            reader.request.method != route->method) {
            __builtin_trap();
        }
    }
    if (step == ReadStep::REFUSED && (reader.refusal < 400 || reader.refusal > 431)) {
        __builtin_trap();
    }
    return 0;
}
