// Recording stand-in for the window post, handed to the fetch worker's post
// as the shell hands its window post: test programs have no board window, so
// each post is counted and its tick kept for the tests to read.
#include "boardserver_client.h"
#include "platform/platform.h"
#include "serverlink/serverlink.h"

PostRecord documentReadyPosts;

void recordDocumentReadyPost() {
    if (documentReadyPosts.onPost != nullptr) {
        documentReadyPosts.onPost();
    }
    const int32_t slot = documentReadyPosts.count.load(std::memory_order_relaxed);
    if (slot < 64) {
        documentReadyPosts.ticks[slot] = tickCount();
    }
    documentReadyPosts.count.fetch_add(1, std::memory_order_release);
}
