// Storage of the state shared between the fetch worker and the main thread
// (see linkstate.h).
#include "serverlink/linkstate.h"

PlatformLock handoverLock;
int32_t handoverPending;
volatile int32_t serverOk;
volatile uint32_t lastFetchOkTick;
volatile int32_t fetchAttempts;
char16_t localAddressText[LOCAL_ADDRESS_CAPACITY];
