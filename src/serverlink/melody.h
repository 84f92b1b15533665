// Melody playback: a document's melody event is heard once, from a copy of
// the cached file, through the Media Control Interface under one alias.
// The portable logic (which event plays, the playback copy with its ID3v2
// skip, the command strings) is in melodyplayback.cpp; the two calls that
// reach the system sit behind mciCommand and shortPathOf, so tests can link
// recording stand-ins instead.
#pragma once

#include <cstdint>

#include "documents/documents.h"
#include "serverlink/serverlink.h"

// Files this large or larger are played from the cache, not copied.
constexpr uint32_t MELODY_COPY_LIMIT = 33554432;
// A melody event older than this (in the server's units) only counts as heard.
constexpr int32_t MELODY_MAX_AGE = 10;

void melodyFollowDocument(const BoardDocument& document);
void melodyPlay(const char16_t* name, const char16_t* key);
void melodyStop();
// Copies source to target, without a leading ID3v2 tag when skipId3 is set;
// true when the target was written completely.
bool copyForPlayback(const char16_t* source, const char16_t* target, bool skipId3);
// Bytes of a leading ID3v2 tag in data (0 when there is none, or when the
// tag claims to reach the end of the data or beyond).
uint32_t id3v2TagLength(const unsigned char* data, uint32_t count);

// The system side. mciCommand sends one command string and returns the
// system's result (0: success). shortPathOf gives the short (8.3) form of a
// path, 1 when there is one.
int32_t mciCommand(const char16_t* command);
int32_t shortPathOf(const char16_t* path, char16_t* out, int32_t capacity);
