// UTF-16 text in fixed-capacity arrays: the one copy helper that every copy
// into such an array goes through, and the few comparisons the program needs.
// Every folder may use it: it depends on nothing but the language.
// Text is char16_t everywhere in the core; it becomes wchar_t only at a Win32
// call (see platform/win32/wide.h).
#pragma once

#include <cstddef>
#include <cstdint>

// Length in code units up to the terminator.
int32_t textLength(const char16_t* text);

// Copies at most capacity - 1 units of source into target and terminates it.
// A null source copies the empty text. Capacity 0 writes nothing. Returns the
// number of units stored.
int32_t copyText(char16_t* target, int32_t capacity, const char16_t* source);

// Same for a source of a known length (which need not be terminated).
int32_t copyTextN(char16_t* target, int32_t capacity, const char16_t* source, int32_t sourceLength);

template <size_t N>
inline int32_t copyText(char16_t (&target)[N], const char16_t* source) {
    return copyText(target, static_cast<int32_t>(N), source);
}

// Appends source to the text already in target, cut to the capacity.
int32_t appendText(char16_t* target, int32_t capacity, const char16_t* source);

template <size_t N>
inline int32_t appendText(char16_t (&target)[N], const char16_t* source) {
    return appendText(target, static_cast<int32_t>(N), source);
}

// Exact, case-sensitive comparison (what lstrcmpW == 0 tells).
bool textEquals(const char16_t* a, const char16_t* b);

// Comparison ignoring the case of ASCII letters, for command-line switches.
bool textEqualsIgnoringAsciiCase(const char16_t* a, const char16_t* b);

// Same for narrow bytes (fixed-capacity char arrays on the wire side).
int32_t copyBytes(char* target, int32_t capacity, const char* source);
