// The fetch worker: the program's one background thread. Each cycle it asks
// the board server for this board's display document, reads it into its own
// record, makes sure a named melody is in the cache, and hands the document
// to the main thread through the locked slot followed by a window message.
// The link state it publishes (serverOk, lastFetchOkTick, fetchAttempts,
// localAddressText) is what the board and the boot screen show.
#include <cstdio>

#include "documents/documents.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "serverlink/serverlink.h"

volatile int32_t fetchWorkerStop;

static unsigned char fetchBody[FETCH_BODY_CAPACITY];

// Once, when the thread starts: the PC's IPv4 address for the boot screen,
// or nothing when its own name does not resolve.
static void findLocalAddress() {
    uint8_t bytes[4];
    if (!localHostAddress(bytes)) {
        return;
    }
    char text[LOCAL_ADDRESS_CAPACITY];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    char16_t wide[LOCAL_ADDRESS_CAPACITY];
    int32_t i = 0;
    for (; text[i] != 0 && i < LOCAL_ADDRESS_CAPACITY - 1; ++i) {
        wide[i] = static_cast<char16_t>(text[i]);
    }
    wide[i] = 0;
    copyText(localAddressText, wide);
}

int32_t fetchOnce() {
    atomicIncrement(&fetchAttempts);
    const int32_t generation = settingsGeneration;

    char path[REQUEST_PATH_CAPACITY];
    std::snprintf(path, sizeof(path), "/api/boards/%d/display.txt", static_cast<int>(settings.board));
    const int32_t length = httpGet(path, fetchBody, DOCUMENT_BODY_CAPACITY, nullptr);
    if (length <= 0) {
        return 0;  // failure, or an empty body
    }
    if (!parseDisplayDocument(fetchBody, length, &workerDocument)) {
        return 0;
    }
    // Before the hand-over, so that a newly named melody is on disk when the
    // main thread decides to play it.
    if (workerDocument.melodyName[0] != 0 && settings.melodyEnabled) {
        melodyEnsure(workerDocument.melodyName, workerDocument.melodySize);
    }
    // Settings loaded while this cycle ran may have named another board or
    // server: this document is not the one the board now asks for.
    if (settingsGeneration != generation) {
        return 0;
    }
    lockEnter(&handoverLock);
    handoverDocument = workerDocument;
    handoverPending = 1;
    lockLeave(&handoverLock);
    lastFetchOkTick = tickCount();
    serverOk = 1;
    postDocumentReady();
    return 1;
}

void fetchWorker() {
    findLocalAddress();
    while (!fetchWorkerStop) {
        fetchOnce();
        // The interval runs from the end of one cycle to the next; it is
        // read anew so a settings load applies at once.
        sleepMs(static_cast<uint32_t>(settings.fetchIntervalMs));
    }
}

static void fetchWorkerEntry(void*) {
    fetchWorker();
}

PlatformThread startFetchWorker() {
    return startThread(fetchWorkerEntry, nullptr);
}
