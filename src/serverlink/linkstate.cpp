// Storage of the state shared between the fetch worker and the main thread
// (see linkstate.h).
#include "serverlink/linkstate.h"

LinkState gLink;

const char16_t* localAddress() {
    return gLink.localAddressReady.load(std::memory_order_acquire) != 0 ? gLink.localAddressText : u"";
}
