// Who may ask: the address lists of station.toml ("10.1.2.0/24",
// "192.168.5.7", "fd00::/8") read into ranges, and the test of a peer's
// address against them. An IPv4 address that reaches an IPv6 socket as
// "::ffff:10.1.2.3" is read as the IPv4 address it is, so one list serves
// both kinds of listening socket.
#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "server/station/station.h"

namespace {

constexpr int32_t IPV4_BITS = 32;
constexpr int32_t IPV6_BITS = 128;
constexpr uint8_t IPV4_MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

// An address alone, either kind; an IPv4-mapped IPv6 address becomes IPv4.
bool readHost(const std::string& text, AddressRange* range) {
    *range = AddressRange{};
    if (text.size() > 64 || text.find('\0') != std::string::npos) {
        return false;
    }
    if (inet_pton(AF_INET, text.c_str(), range->bytes) == 1) {
        range->v4 = true;
        range->bits = IPV4_BITS;
        return true;
    }
    uint8_t bytes[16] = {};
    if (inet_pton(AF_INET6, text.c_str(), bytes) != 1) {
        return false;
    }
    if (std::memcmp(bytes, IPV4_MAPPED_PREFIX, sizeof IPV4_MAPPED_PREFIX) == 0) {
        std::memcpy(range->bytes, bytes + 12, 4);
        range->v4 = true;
        range->bits = IPV4_BITS;
        return true;
    }
    std::memcpy(range->bytes, bytes, sizeof bytes);
    range->bits = IPV6_BITS;
    return true;
}

// Whether the first `bits` bits of two addresses agree.
bool samePrefix(const uint8_t* a, const uint8_t* b, int32_t bits) {
    const auto whole = static_cast<size_t>(bits / 8);
    if (std::memcmp(a, b, whole) != 0) {
        return false;
    }
    const int32_t rest = bits % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool readAddressRange(const std::string& text, AddressRange* range) {
    const size_t slash = text.find('/');
    if (!readHost(text.substr(0, slash), range)) {
        return false;
    }
    if (slash == std::string::npos) {
        return true;
    }
    const char* first = text.data() + slash + 1;
    const char* last = text.data() + text.size();
    int32_t bits = -1;
    const auto [end, error] = std::from_chars(first, last, bits);
    // A mapped address written with an IPv6 prefix length counts from the
    // IPv4 part.
    const bool mapped = range->v4 && text.find(':') != std::string::npos;
    if (mapped) {
        bits -= IPV6_BITS - IPV4_BITS;
    }
    if (error != std::errc() || end != last || first == last || bits < 0 || bits > range->bits) {
        return false;
    }
    range->bits = bits;
    return true;
}

bool readAddressList(const std::vector<std::string>& texts, std::vector<AddressRange>* ranges,
                     std::vector<std::string>* problems) {
    bool ok = true;
    for (const std::string& text : texts) {
        AddressRange range;
        if (readAddressRange(text, &range)) {
            ranges->push_back(range);
        } else {
            problems->push_back("\"" + text + "\" is not an address or a subnet such as 10.1.2.0/24");
            ok = false;
        }
    }
    return ok;
}

bool addressInRange(const std::string& address, const AddressRange& range) {
    AddressRange peer;
    return readHost(address, &peer) && peer.v4 == range.v4 && samePrefix(peer.bytes, range.bytes, range.bits);
}

bool addressAllowed(const std::string& address, const std::vector<AddressRange>& ranges) {
    if (ranges.empty()) {
        return true;
    }
    for (const AddressRange& range : ranges) {
        if (addressInRange(address, range)) {
            return true;
        }
    }
    return false;
}

std::string plainAddress(const std::string& address) {
    AddressRange peer;
    if (!readHost(address, &peer) || !peer.v4) {
        return address;
    }
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, peer.bytes, text, sizeof text) != nullptr ? std::string(text) : address;
}

std::string forwardedClient(const std::string& peer, const std::string& forwardedFor,
                            const std::vector<AddressRange>& trustedProxies) {
    const bool trusted = std::any_of(trustedProxies.begin(), trustedProxies.end(),
                                     [&](const AddressRange& range) { return addressInRange(peer, range); });
    if (!trusted) {
        return peer;
    }
    // Entries before the last were written by the client or by proxies
    // further out: anyone may have forged them.
    const size_t comma = forwardedFor.rfind(',');
    const size_t start = comma == std::string::npos ? 0 : comma + 1;
    const size_t first = forwardedFor.find_first_not_of(" \t", start);
    const size_t last = forwardedFor.find_last_not_of(" \t");
    if (first == std::string::npos || last < first) {
        return peer;
    }
    const std::string entry = forwardedFor.substr(first, last - first + 1);
    AddressRange client;
    return readHost(entry, &client) ? plainAddress(entry) : peer;
}
