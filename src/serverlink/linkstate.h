// The state the fetch worker shares with the main thread: the hand-over slot
// and the words that tell how the link to the board server is doing. The
// worker writes them; the main thread reads them (the boot screen, the board
// compositions) and takes documents out of the slot.
#pragma once

#include <atomic>
#include <cstdint>

#include "documents/documents.h"
#include "platform/platform.h"

constexpr int32_t LOCAL_ADDRESS_CAPACITY = 32;

// Every word here is read by one thread while the other writes it, so each
// is a std::atomic: plain or volatile words would be a data race.
struct LinkState {
    // Guards gDocuments.handoverDocument and handoverPending; held only for
    // whole-record copies and the flag. The flag is atomic as well because
    // the snapshot loop peeks at it without the lock (the take itself
    // re-reads it under the lock).
    PlatformLock handoverLock;
    std::atomic<int32_t> handoverPending;  // 1 while a handed-over document waits in the slot
    // 1 once a document has been handed over since start-up or the last
    // settings reload; the reload clears it. The worker stores
    // lastFetchOkTick first and then serverOk with release order, so a
    // reader that sees serverOk set (acquire, which the plain reads of a
    // std::atomic give) also sees the tick of that hand-over.
    std::atomic<int32_t> serverOk;
    // Tick of the last hand-over; a board treats the link as lost when it is
    // too old.
    std::atomic<uint32_t> lastFetchOkTick;
    // Fetch cycles started, never reset. Only counted and shown: relaxed
    // order.
    std::atomic<int32_t> fetchAttempts;
    // The PC's IPv4 address as dotted text, empty when unknown. The worker
    // writes it once when it starts and then sets localAddressReady
    // (release); readers go through localAddress(), which looks at the text
    // only after seeing the flag (acquire).
    char16_t localAddressText[LOCAL_ADDRESS_CAPACITY];
    std::atomic<int32_t> localAddressReady;  // 1 once localAddressText is written
};
extern LinkState gLink;

// The local address text, or an empty text while the worker has not yet
// published one.
const char16_t* localAddress();
