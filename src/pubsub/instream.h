// Input streams: the receiving end of a notification stream. Delivery (the
// receiver thread) puts the blocks of one stream key into `chunks`; one
// application thread at a time reads them out.
//
// Lifetime: three parties keep an input stream: the subscriber's stream
// table until the end marker arrives (or the subscriber goes), the stream's
// first notification (its representative, which the application receives)
// until it is destroyed, and the application's handle from
// lumo_notification_getInputStream until lumo_instream_close. The last of
// them to let go frees it, exactly once, under the stream's lock. Blocks that
// arrive once the application side is done (the handle closed, or the
// representative gone without the handle ever taken) are dropped.
#pragma once

#include <atomic>
#include <cstdint>

#include "port/lock.h"
#include "port/queue.h"
#include "vavevar.h"

namespace vavevar {

// One block of a stream; length 0 (no bytes) is the end marker.
struct lumo_chunk {
    char *bytes;  // owned
    std::int32_t length;
};

}  // namespace vavevar

struct lumo_instream {
    lumo_instream *next;  // place in the stream table
    lumo_instream *previous;
    char *key;
    lumo_queue *chunks;  // of lumo_chunk
    // The reader's own: one thread reads at a time.
    vavevar::lumo_chunk *current;
    std::int32_t offset;
    std::uint32_t atEnd;
    vavevar::Lock *lock;
    std::uint32_t appClosed LUMO_GUARDED_BY(lock);
    std::uint32_t handedOut LUMO_GUARDED_BY(lock);       // getInputStream was called
    std::uint32_t representativeGone LUMO_GUARDED_BY(lock);
    std::uint32_t removed LUMO_GUARDED_BY(lock);          // out of the stream table
    // Blocks queued and not yet read, counted against the subscriber's bound
    // (with its delivery queue): raised by delivery, lowered by the reader.
    std::atomic<std::int64_t> unreadBlocks;
    std::atomic<std::int64_t> unreadBytes;
    // Set by delivery only: the stream was ended early (bound passed, or the
    // daemon skipped notifications); its later blocks are dropped.
    std::uint32_t cut;
};

namespace vavevar {

// A new open stream for `key` (copied), or null when memory runs out.
lumo_instream *lumo_instream_new(const char *key) noexcept;

// Takes `bytes` (lumo_malloc'd, or null with `length` 0 for the end marker)
// over and queues them, or frees them when the application side is done.
void lumo_instream_put(lumo_instream *stream, char *bytes, std::int32_t length) noexcept;

// Ends the stream early: the reader gets what was queued and then the end;
// the stream stays in the table, dropping what comes, until its end marker.
void lumo_instream_cut(lumo_instream *stream) noexcept;

// The stream has left the table: no more blocks will come. Returns true when
// that freed it.
bool lumo_instream_detach(lumo_instream *stream) noexcept;

// The representative notification is being destroyed.
void lumo_instream_representative_gone(lumo_instream *stream) noexcept;

// The application asks for the stream of a notification it holds; null (the
// notification represents no stream) gives null.
lumo_instream *lumo_instream_hand_out(lumo_instream *stream) noexcept;

// The exported read and close; contracts in the public header. REQUIRES:
// read gets a stream, a buffer and a length of 1 or more; close a handle
// that holds a stream.
std::int32_t lumo_instream_read(lumo_instream *stream, void *buffer, std::int32_t length) noexcept;
void lumo_instream_close(lumo_instream **handle) noexcept;

}  // namespace vavevar
