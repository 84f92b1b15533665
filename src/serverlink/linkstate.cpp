// Storage of the state shared between the fetch worker and the main thread
// (see linkstate.h).
#include "serverlink/linkstate.h"

PlatformLock handoverLock;
std::atomic<int32_t> handoverPending;
std::atomic<int32_t> serverOk;
std::atomic<uint32_t> lastFetchOkTick;
std::atomic<int32_t> fetchAttempts;
char16_t localAddressText[LOCAL_ADDRESS_CAPACITY];
std::atomic<int32_t> localAddressReady;

const char16_t* localAddress() {
    return localAddressReady.load(std::memory_order_acquire) != 0 ? localAddressText : u"";
}
