// The slot choice shared by the text ink caches (classic and new-style):
// entries with a `length` (0 when free) and a `lastUse` clock value.
#pragma once

#include <cstddef>

// The first free entry, or else the one used longest ago.
template <typename Entry, size_t N>
Entry* freeOrOldestEntry(Entry (&entries)[N]) {
    Entry* chosen = &entries[0];
    for (Entry& entry : entries) {
        if (entry.length == 0) {
            return &entry;
        }
        if (entry.lastUse < chosen->lastUse) {
            chosen = &entry;
        }
    }
    return chosen;
}
