// The thin OS layer: the few services the portable core needs from the
// operating system, with a Win32 implementation (platform/win32) and a POSIX
// one (platform/posix). Each function keeps the Win32 meaning; the POSIX side
// imitates it closely enough for the host build's tests and fuzzers.
#pragma once

#include <cstddef>
#include <cstdint>

// Code pages understood by convertToUtf16 / convertFromUtf16. The values are
// the Windows code page numbers.
constexpr uint32_t CODEPAGE_ANSI = 0;  // the system's ANSI code page (CP_ACP)
constexpr uint32_t CODEPAGE_SHIFT_JIS = 932;
constexpr uint32_t CODEPAGE_UTF8 = 65001;

// Room for a file path in units, terminator included (the Win32 MAX_PATH).
constexpr int32_t PATH_CAPACITY = 260;

// The separator between path segments.
#ifdef _WIN32
constexpr char16_t PATH_SEPARATOR = u'\\';
#else
constexpr char16_t PATH_SEPARATOR = u'/';
#endif

// Milliseconds from the system tick counter; wraps after about 49.7 days.
uint32_t tickCount();
void sleepMs(uint32_t ms);

// What a file-attribute query tells. lastWriteTime is an opaque 64-bit time
// (FILETIME units on Windows); only equality is ever tested.
struct FileInfo {
    uint64_t lastWriteTime;
    uint64_t size;
    int32_t isDirectory;
};

// 1 and fills info when the path exists, else 0.
int32_t queryFileInfo(const char16_t* path, FileInfo* info);

// Reads a whole file that exists and is at most maxBytes long into a block
// from heapAlloc, followed by two zero bytes (so the block holds size + 2
// bytes). Returns nothing when the file is missing, locked, larger than
// maxBytes or memory runs out. The file is opened sharing read and write.
unsigned char* readWholeFile(const char16_t* path, uint32_t maxBytes, uint32_t* sizeOut);

// File operations with the Win32 meaning: 1 on success, 0 on failure.
int32_t deleteFileAt(const char16_t* path);
int32_t renameFileAt(const char16_t* from, const char16_t* to);  // replaces an existing target
int32_t createDirectoryAt(const char16_t* path);                 // 1 also when it exists

// A file opened for writing (created or truncated). Writes report the bytes
// actually written so callers can see a full disk.
struct OutFile;
OutFile* openFileForWrite(const char16_t* path);
int32_t writeToFile(OutFile* file, const void* bytes, uint32_t count);  // bytes written, -1 on failure
int32_t closeWrittenFile(OutFile* file);                                // 1 when everything reached the disk

// The process heap.
void* heapAlloc(size_t bytes);
void heapFree(void* block);

// Code-page conversion. Both return the number of units (bytes) written, or
// the number needed when out is null; 0 when the conversion yields nothing.
// Malformed input is replaced the way the platform's converter does it.
int32_t convertToUtf16(uint32_t codePage, const unsigned char* bytes, int32_t count, char16_t* out,
                       int32_t outCapacity);
int32_t convertFromUtf16(uint32_t codePage, const char16_t* text, int32_t count, char* out,
                         int32_t outCapacity);

// One lock (a critical section on Windows). The storage is sized for the
// larger of the two native objects; each implementation checks that it fits.
struct PlatformLock {
    alignas(16) unsigned char storage[64];
};
void lockInit(PlatformLock* lock);
void lockEnter(PlatformLock* lock);
void lockLeave(PlatformLock* lock);
