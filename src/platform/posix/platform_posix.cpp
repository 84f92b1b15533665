// The OS layer for the host build (Linux): the same meanings as the Win32
// side, so the portable core behaves alike in the host tests and fuzzers.
// Paths arrive as UTF-16 and are handed to the system as UTF-8. There is no
// ANSI code page here: it is taken to be UTF-8.
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "base/utf8.h"
#include "platform/platform.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatformLock::storage), "lock storage too small");

// UTF-16 path to UTF-8; an unpaired surrogate becomes U+FFFD. The result is
// cut to the buffer (a path that long cannot name a file of ours anyway).
static void pathToUtf8(const char16_t* path, char* out, size_t capacity) {
    size_t used = 0;
    for (size_t i = 0; path != nullptr && path[i] != 0; ++i) {
        uint32_t c = path[i];
        if (c >= 0xD800 && c <= 0xDBFF && path[i + 1] >= 0xDC00 && path[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (path[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        unsigned char bytes[4];
        const auto n = static_cast<size_t>(encodeUtf8(c, bytes));
        if (used + n + 1 > capacity) {
            break;
        }
        std::memcpy(out + used, bytes, n);
        used += n;
    }
    out[used] = 0;
}

constexpr size_t NATIVE_PATH_CAPACITY = 4096;

uint32_t tickCount() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void sleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int32_t queryFileInfo(const char16_t* path, FileInfo* info) {
    char native[NATIVE_PATH_CAPACITY];
    pathToUtf8(path, native, sizeof(native));
    struct stat status {};
    if (stat(native, &status) != 0) {
        return 0;
    }
    info->lastWriteTime = static_cast<uint64_t>(status.st_mtim.tv_sec) * 1000000000u +
                          static_cast<uint64_t>(status.st_mtim.tv_nsec);
    info->size = static_cast<uint64_t>(status.st_size);
    info->isDirectory = S_ISDIR(status.st_mode) ? 1 : 0;
    return 1;
}

unsigned char* readWholeFile(const char16_t* path, uint32_t maxBytes, uint32_t* sizeOut) {
    char native[NATIVE_PATH_CAPACITY];
    pathToUtf8(path, native, sizeof(native));
    const int fd = open(native, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
        static_cast<uint64_t>(status.st_size) > maxBytes) {
        close(fd);
        return nullptr;
    }
    const auto size = static_cast<uint32_t>(status.st_size);
    auto* block = static_cast<unsigned char*>(heapAlloc(static_cast<size_t>(size) + 2));
    if (block == nullptr) {
        close(fd);
        return nullptr;
    }
    uint32_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, block + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<uint32_t>(n);
    }
    close(fd);
    block[got] = 0;
    block[got + 1] = 0;
    *sizeOut = got;
    return block;
}

int32_t deleteFileAt(const char16_t* path) {
    char native[NATIVE_PATH_CAPACITY];
    pathToUtf8(path, native, sizeof(native));
    return unlink(native) == 0 ? 1 : 0;
}

int32_t renameFileAt(const char16_t* from, const char16_t* to) {
    char nativeFrom[NATIVE_PATH_CAPACITY];
    char nativeTo[NATIVE_PATH_CAPACITY];
    pathToUtf8(from, nativeFrom, sizeof(nativeFrom));
    pathToUtf8(to, nativeTo, sizeof(nativeTo));
    return rename(nativeFrom, nativeTo) == 0 ? 1 : 0;
}

int32_t createDirectoryAt(const char16_t* path) {
    char native[NATIVE_PATH_CAPACITY];
    pathToUtf8(path, native, sizeof(native));
    if (mkdir(native, 0777) == 0) {
        return 1;
    }
    struct stat status {};
    return (errno == EEXIST && stat(native, &status) == 0 && S_ISDIR(status.st_mode)) ? 1 : 0;
}

struct OutFile {
    int fd;
    int failed;
};

OutFile* openFileForWrite(const char16_t* path) {
    char native[NATIVE_PATH_CAPACITY];
    pathToUtf8(path, native, sizeof(native));
    const int fd = open(native, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    auto* file = static_cast<OutFile*>(heapAlloc(sizeof(OutFile)));
    if (file == nullptr) {
        close(fd);
        return nullptr;
    }
    file->fd = fd;
    file->failed = 0;
    return file;
}

int32_t writeToFile(OutFile* file, const void* bytes, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = write(file->fd, static_cast<const unsigned char*>(bytes) + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            file->failed = 1;
            return done > 0 ? static_cast<int32_t>(done) : -1;
        }
        done += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(done);
}

int32_t closeWrittenFile(OutFile* file) {
    if (file == nullptr) {
        return 0;
    }
    const int closed = close(file->fd);
    const int32_t ok = (closed == 0 && !file->failed) ? 1 : 0;
    heapFree(file);
    return ok;
}

void* heapAlloc(size_t bytes) {
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void heapFree(void* block) {
    std::free(block);
}

// iconv from one encoding to another; malformed input is replaced (U+FFFD
// into UTF-16, '?' into a narrow code page) and conversion goes on, the way
// the Windows converters behave without their strict flag.
static int32_t convertWithIconv(const char* toCode, const char* fromCode, const char* input,
                                size_t inputBytes, size_t unitSize, char* out, size_t outBytes,
                                const char* replacement, size_t replacementBytes, size_t badInputStep) {
    iconv_t converter = iconv_open(toCode, fromCode);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return 0;
    }
    char scratch[1024];
    const bool measuring = out == nullptr;
    size_t total = 0;
    char* inPtr = const_cast<char*>(input);
    size_t inLeft = inputBytes;
    bool overflow = false;
    while (inLeft > 0) {
        char* outPtr = measuring ? scratch : out + total;
        size_t outLeft = measuring ? sizeof(scratch) : outBytes - total;
        const size_t before = outLeft;
        const size_t result = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft);
        total += before - outLeft;
        if (result != static_cast<size_t>(-1)) {
            break;
        }
        if (errno == E2BIG) {
            if (measuring) {
                continue;
            }
            overflow = true;
            break;
        }
        // EILSEQ or EINVAL: replace and skip the bad input.
        if (!measuring) {
            if (outBytes - total < replacementBytes) {
                overflow = true;
                break;
            }
            std::memcpy(out + total, replacement, replacementBytes);
        }
        total += replacementBytes;
        const size_t step = inLeft < badInputStep ? inLeft : badInputStep;
        inPtr += step;
        inLeft -= step;
    }
    iconv_close(converter);
    if (overflow) {
        return 0;  // like the Windows converters: a too-small buffer fails
    }
    return static_cast<int32_t>(total / unitSize);
}

static const char* iconvName(uint32_t codePage) {
    return codePage == CODEPAGE_SHIFT_JIS ? "CP932" : "UTF-8";
}

int32_t convertToUtf16(uint32_t codePage, const unsigned char* bytes, int32_t count, char16_t* out,
                       int32_t outCapacity) {
    if (bytes == nullptr || count <= 0) {
        return 0;
    }
    static const char16_t replacement = 0xFFFD;
    return convertWithIconv("UTF-16LE", iconvName(codePage), reinterpret_cast<const char*>(bytes),
                            static_cast<size_t>(count), sizeof(char16_t), reinterpret_cast<char*>(out),
                            static_cast<size_t>(outCapacity) * sizeof(char16_t),
                            reinterpret_cast<const char*>(&replacement), sizeof(replacement), 1);
}

int32_t convertFromUtf16(uint32_t codePage, const char16_t* text, int32_t count, char* out,
                         int32_t outCapacity) {
    if (text == nullptr || count <= 0) {
        return 0;
    }
    static const char replacement = '?';
    return convertWithIconv(iconvName(codePage), "UTF-16LE", reinterpret_cast<const char*>(text),
                            static_cast<size_t>(count) * sizeof(char16_t), 1, out,
                            static_cast<size_t>(outCapacity), &replacement, 1, sizeof(char16_t));
}

void lockInit(PlatformLock* lock) {
    new (lock->storage) pthread_mutex_t;
    pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(lock->storage), nullptr);
}

void lockEnter(PlatformLock* lock) {
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(lock->storage));
}

void lockLeave(PlatformLock* lock) {
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(lock->storage));
}
