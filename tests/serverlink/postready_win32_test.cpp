// The worker's post on Windows: a WM_DOCUMENT_READY sent from another thread
// arrives in the queue of the thread that owns the board window, with both
// parameters 0.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/sockets.h"
#include "serverlink/serverlink.h"
#include "shell/window.h"

// The shell owns the real window; this program makes its own.
HWND boardWindow;

namespace {

void postFromWorker(void*) {
    postDocumentReady();
    postDocumentReady();
}

}  // namespace

TEST(DocumentReadyPost, ReachesTheWindowFromTheWorkerThread) {
    EXPECT_EQ(WM_DOCUMENT_READY, 0x8001u);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VelmorantPostTest";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    boardWindow = CreateWindowExW(0, L"VelmorantPostTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    ASSERT_NE(boardWindow, nullptr);

    setDocumentReadyPost(postDocumentReadyToWindow);
    const PlatformThread worker = startThread(postFromWorker, nullptr);
    ASSERT_NE(worker, 0);
    waitForThread(worker);

    int received = 0;
    MSG message;
    while (PeekMessageW(&message, boardWindow, WM_DOCUMENT_READY, WM_DOCUMENT_READY, PM_REMOVE)) {
        EXPECT_EQ(message.wParam, 0u);
        EXPECT_EQ(message.lParam, 0);
        ++received;
    }
    EXPECT_EQ(received, 2);  // each hand-over posts its own message
    DestroyWindow(boardWindow);
}
