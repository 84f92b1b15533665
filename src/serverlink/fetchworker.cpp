// The fetch worker: the program's one background thread. Each cycle it asks
// the board server for this board's display document, reads it into its own
// record, makes sure a named melody is in the cache, and hands the document
// to the main thread through the locked slot followed by a window message.
// The link state it publishes (gLink.serverOk, gLink.lastFetchOkTick, gLink.fetchAttempts,
// gLink.localAddressText) is what the board and the boot screen show.
#include <cstdio>

#include "base/numbers.h"
#include "documents/documents.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "serverlink/serverlink.h"

FetchWorkerState gFetchWorker;

static unsigned char fetchBody[FETCH_BODY_CAPACITY];

// Once, when the thread starts: the PC's IPv4 address for the boot screen,
// or nothing when its own name does not resolve.
static void findLocalAddress() {
    uint8_t bytes[4];
    if (!localHostAddress(bytes)) {
        return;
    }
    char16_t wide[LOCAL_ADDRESS_CAPACITY] = {};
    for (int32_t i = 0; i < 4; ++i) {
        if (i > 0) {
            appendText(wide, u".");
        }
        appendDecimal(wide, LOCAL_ADDRESS_CAPACITY, bytes[i]);
    }
    copyText(gLink.localAddressText, wide);
    gLink.localAddressReady.store(1, std::memory_order_release);
}

// One cycle with the settings copy taken at its start.
static int32_t fetchCycle(const WorkerSettings& cycleSettings, int32_t generation) {
    char path[REQUEST_PATH_CAPACITY];
    std::snprintf(path, sizeof(path), "/api/boards/%d/display.txt", static_cast<int>(cycleSettings.board));
    const int32_t length = httpGet(path, fetchBody, DOCUMENT_BODY_CAPACITY, nullptr);
    if (length <= 0) {
        return 0;  // failure, or an empty body
    }
    if (!parseDisplayDocument(fetchBody, length, &gDocuments.workerDocument)) {
        return 0;
    }
    // Before the hand-over, so that a newly named melody is on disk when the
    // main thread decides to play it.
    if (gDocuments.workerDocument.melodyName[0] != 0 && cycleSettings.melodyEnabled) {
        melodyEnsure(gDocuments.workerDocument.melodyName, gDocuments.workerDocument.melodySize);
    }
    // Settings loaded while this cycle ran may have named another board or
    // server: this document is not the one the board now asks for.
    if (gSettingsFile.generation.load(std::memory_order_acquire) != generation) {
        return 0;
    }
    lockEnter(&gLink.handoverLock);
    gDocuments.handoverDocument = gDocuments.workerDocument;
    gLink.handoverPending = 1;
    lockLeave(&gLink.handoverLock);
    gLink.lastFetchOkTick.store(tickCount(), std::memory_order_relaxed);
    gLink.serverOk.store(1, std::memory_order_release);
    postDocumentReady();
    return 1;
}

// The generation is read before the settings copy: a load that lands between
// the two makes the cycle look stale and drops its document, never the
// other way round (the load publishes the copy before it raises the
// generation).
static int32_t startCycle(WorkerSettings* cycleSettings) {
    gLink.fetchAttempts.fetch_add(1, std::memory_order_relaxed);
    const int32_t generation = gSettingsFile.generation.load(std::memory_order_acquire);
    takeWorkerSettings(cycleSettings);
    return generation;
}

int32_t fetchOnce() {
    WorkerSettings cycleSettings;
    const int32_t generation = startCycle(&cycleSettings);
    return fetchCycle(cycleSettings, generation);
}

void fetchWorker() {
    findLocalAddress();
    while (!gFetchWorker.fetchWorkerStop.load(std::memory_order_relaxed)) {
        WorkerSettings cycleSettings;
        const int32_t generation = startCycle(&cycleSettings);
        fetchCycle(cycleSettings, generation);
        // The interval runs from the end of one cycle to the next, taken
        // from this cycle's copy, so a settings load applies from the next
        // cycle on.
        sleepMs(static_cast<uint32_t>(cycleSettings.fetchIntervalMs));
    }
}

static void fetchWorkerEntry(void*) {
    fetchWorker();
}

PlatformThread startFetchWorker() {
    return startThread(fetchWorkerEntry, nullptr);
}
