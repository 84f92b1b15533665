// The OS layer on Windows: thin wrappers over kernel32 with the meanings the
// portable core expects (see platform.h).
#include <windows.h>

#include <new>

#include "platform/platform.h"
#include "platform/win32/wide.h"

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(PlatformLock::storage), "lock storage too small");

uint32_t tickCount() {
    return GetTickCount();
}

void sleepMs(uint32_t ms) {
    Sleep(ms);
}

int32_t queryFileInfo(const char16_t* path, FileInfo* info) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(asWide(path), GetFileExInfoStandard, &data)) {
        return 0;
    }
    info->lastWriteTime = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                          data.ftLastWriteTime.dwLowDateTime;
    info->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    return 1;
}

unsigned char* readWholeFile(const char16_t* path, uint32_t maxBytes, uint32_t* sizeOut) {
    HANDLE file = CreateFileW(asWide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > maxBytes) {
        CloseHandle(file);
        return nullptr;
    }
    const auto bytes = static_cast<DWORD>(size.QuadPart);
    auto* block = static_cast<unsigned char*>(heapAlloc(static_cast<size_t>(bytes) + 2));
    if (block == nullptr) {
        CloseHandle(file);
        return nullptr;
    }
    DWORD got = 0;
    if (bytes > 0 && !ReadFile(file, block, bytes, &got, nullptr)) {
        got = 0;
    }
    CloseHandle(file);
    block[got] = 0;
    block[got + 1] = 0;
    *sizeOut = got;
    return block;
}

int32_t deleteFileAt(const char16_t* path) {
    return DeleteFileW(asWide(path)) ? 1 : 0;
}

int32_t renameFileAt(const char16_t* from, const char16_t* to) {
    return MoveFileExW(asWide(from), asWide(to), MOVEFILE_REPLACE_EXISTING) ? 1 : 0;
}

int32_t createDirectoryAt(const char16_t* path) {
    if (CreateDirectoryW(asWide(path), nullptr)) {
        return 1;
    }
    const DWORD attributes = GetFileAttributesW(asWide(path));
    return (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) ? 1 : 0;
}

struct OutFile {
    HANDLE handle;
    int32_t failed;
};

OutFile* openFileForWrite(const char16_t* path) {
    HANDLE handle =
        CreateFileW(asWide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* file = static_cast<OutFile*>(heapAlloc(sizeof(OutFile)));
    if (file == nullptr) {
        CloseHandle(handle);
        return nullptr;
    }
    file->handle = handle;
    file->failed = 0;
    return file;
}

int32_t writeToFile(OutFile* file, const void* bytes, uint32_t count) {
    DWORD written = 0;
    if (!WriteFile(file->handle, bytes, count, &written, nullptr) || written != count) {
        file->failed = 1;
        return written > 0 ? static_cast<int32_t>(written) : -1;
    }
    return static_cast<int32_t>(written);
}

int32_t closeWrittenFile(OutFile* file) {
    if (file == nullptr) {
        return 0;
    }
    const BOOL closed = CloseHandle(file->handle);
    const int32_t ok = (closed && !file->failed) ? 1 : 0;
    heapFree(file);
    return ok;
}

void* heapAlloc(size_t bytes) {
    return HeapAlloc(GetProcessHeap(), 0, bytes == 0 ? 1 : bytes);
}

void heapFree(void* block) {
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

static UINT windowsCodePage(uint32_t codePage) {
    return codePage == CODEPAGE_ANSI ? CP_ACP : static_cast<UINT>(codePage);
}

int32_t convertToUtf16(uint32_t codePage, const unsigned char* bytes, int32_t count, char16_t* out,
                       int32_t outCapacity) {
    if (bytes == nullptr || count <= 0) {
        return 0;
    }
    return MultiByteToWideChar(windowsCodePage(codePage), 0, reinterpret_cast<const char*>(bytes), count,
                               out == nullptr ? nullptr : asWide(out), out == nullptr ? 0 : outCapacity);
}

int32_t convertFromUtf16(uint32_t codePage, const char16_t* text, int32_t count, char* out,
                         int32_t outCapacity) {
    if (text == nullptr || count <= 0) {
        return 0;
    }
    return WideCharToMultiByte(windowsCodePage(codePage), 0, asWide(text), count, out,
                               out == nullptr ? 0 : outCapacity, nullptr, nullptr);
}

void lockInit(PlatformLock* lock) {
    InitializeCriticalSection(new (lock->storage) CRITICAL_SECTION);
}

void lockEnter(PlatformLock* lock) {
    EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(lock->storage));
}

void lockLeave(PlatformLock* lock) {
    LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(lock->storage));
}
