// Fuzz entry for the allow-list reader: a list entry and a peer address
// from the input. What it accepts must be a range of the right kind, a
// range must hold its own address, and a peer's IPv4-mapped form must be
// judged as the IPv4 address. The peer line is also read as the
// X-Forwarded-For header of a request from a proxy the range trusts.
//
// Input: an entry, a newline, a peer address.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/station/station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    const std::string entry = input.substr(0, newline);
    const std::string peer = newline == std::string::npos ? std::string() : input.substr(newline + 1);
    AddressRange range;
    if (readAddressRange(entry, &range)) {
        if (range.bits < 0 || range.bits > (range.v4 ? 32 : 128)) {
            __builtin_trap();
        }
        const std::string host = plainAddress(entry.substr(0, entry.find('/')));
        if (!addressInRange(host, range)) {
            __builtin_trap();
        }
        const std::string plain = plainAddress(peer);
        AddressRange alone;
        const bool ipv4 = readAddressRange(plain, &alone) && alone.v4;
        if (addressInRange(peer, range) != addressInRange(plain, range) ||
            (ipv4 && addressInRange(plain, range) != addressInRange("::ffff:" + plain, range))) {
            __builtin_trap();
        }
        // The peer line as an X-Forwarded-For header through a proxy the
        // range trusts: the client is the proxy itself or a plain address.
        const std::string client = forwardedClient(host, peer, {range});
        AddressRange forwarded;
        if (client != host && (!readAddressRange(client, &forwarded) ||
                               client.find('/') != std::string::npos || client != plainAddress(client))) {
            __builtin_trap();
        }
    }
    // Nobody trusted: a header changes nothing.
    if (forwardedClient(entry, peer, {}) != entry) {
        __builtin_trap();
    }
    std::vector<AddressRange> ranges;
    std::vector<std::string> problems;
    if (readAddressList({entry}, &ranges, &problems) != problems.empty()) {
        __builtin_trap();  // a refusal always names the entry, an acceptance never
    }
    return 0;
}
