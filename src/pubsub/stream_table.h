// The incoming stream table of one subscriber: its open input streams in the
// order of creation, looked up by exact stream key. Only delivery (receiver
// thread, runtime lock held) and the subscriber's teardown use a table, never
// both at once, so it has no lock of its own.
#pragma once

#include <cstdint>

#include "pubsub/instream.h"

struct lumo_streamtable {
    lumo_instream *head;
    lumo_instream *tail;
    std::int32_t count;
};

namespace vavevar {

// A new empty table, or null when memory runs out.
lumo_streamtable *lumo_streamtable_new() noexcept;

// The first stream whose key equals `key`; null for a null table or key.
lumo_instream *lumo_streamtable_find(const lumo_streamtable *table, const char *key) noexcept;

// Appends the stream at the tail.
void lumo_streamtable_add(lumo_streamtable *table, lumo_instream *stream) noexcept;

// Unlinks the stream: no more blocks will come for it. Returns true when that
// freed it (nobody else holds it any more).
bool lumo_streamtable_remove(lumo_streamtable *table, lumo_instream *stream) noexcept;

// Ends and removes every stream still in the table (a reader sees the end
// after what was queued; a stream nobody else holds is freed), frees the
// table and clears *table. Null is ignored.
void lumo_streamtable_destroy(lumo_streamtable **table) noexcept;

}  // namespace vavevar
