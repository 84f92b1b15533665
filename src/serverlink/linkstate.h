// The state the fetch worker shares with the main thread: the hand-over slot
// and the words that tell how the link to the board server is doing. The
// worker writes them; the main thread reads them (the boot screen, the board
// compositions) and takes documents out of the slot.
#pragma once

#include <cstdint>

#include "documents/documents.h"
#include "platform/platform.h"

// Guards handoverDocument and handoverPending; held only for whole-record
// copies and the flag.
extern PlatformLock handoverLock;
extern int32_t handoverPending;

// 1 once a document has been handed over since start-up or the last settings
// reload; the reload clears it.
extern volatile int32_t serverOk;
// Tick of the last hand-over; a board treats the link as lost when it is more
// than STALE_LINK_MS old.
extern volatile uint32_t lastFetchOkTick;
// Fetch cycles started, never reset (interlocked increments).
extern volatile int32_t fetchAttempts;

constexpr int32_t LOCAL_ADDRESS_CAPACITY = 32;
// The PC's IPv4 address as dotted text, empty when unknown. Written once when
// the worker starts.
extern char16_t localAddressText[LOCAL_ADDRESS_CAPACITY];

constexpr uint32_t STALE_LINK_MS = 15000;
