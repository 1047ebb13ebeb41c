#include "pubsub/instream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "port/memory.h"

namespace vavevar {
namespace {

// The end marker needs no memory of its own, so a stream can always be ended.
lumo_chunk g_end_marker{nullptr, 0};

void free_chunk(void *item) {
    auto *chunk = static_cast<lumo_chunk *>(item);
    if (chunk == nullptr || chunk == &g_end_marker) return;
    lumo_free(chunk->bytes);
    lumo_free(chunk);
}

void free_stream(lumo_instream *stream) {
    lumo_queue_destroy(stream->chunks, free_chunk);
    free_chunk(stream->current);
    lumo_lock_destroy(stream->lock);
    lumo_free(stream->key);
    stream->~lumo_instream();
    lumo_free(stream);
}

// The reader is done with a chunk: it no longer counts against the bound.
void consumed(lumo_instream *stream, const lumo_chunk *chunk) {
    stream->unreadBlocks.fetch_sub(1);
    stream->unreadBytes.fetch_sub(chunk->length);
}

bool application_done(const lumo_instream *s) LUMO_REQUIRES(s->lock) {
    return s->appClosed != 0 || (s->representativeGone != 0 && s->handedOut == 0);
}

bool nobody_left(const lumo_instream *s) LUMO_REQUIRES(s->lock) {
    return s->removed != 0 && s->representativeGone != 0 && (s->handedOut == 0 || s->appClosed != 0);
}

// One party lets go: sets its flag under the stream's lock, and frees the
// stream afterwards when nobody is left to use it. Returns true when it did.
bool let_go(lumo_instream *stream, std::uint32_t lumo_instream::*flag) {
    bool release;
    {
        LockGuard guard(stream->lock);
        stream->*flag = 1;
        release = nobody_left(stream);
    }
    if (release) free_stream(stream);
    return release;
}

}  // namespace

lumo_instream *lumo_instream_new(const char *key) noexcept LUMO_NO_THREAD_SAFETY_ANALYSIS {
    void *memory = lumo_malloc(sizeof(lumo_instream));
    if (memory == nullptr) return nullptr;
    auto *stream = new (memory) lumo_instream{};
    stream->key = lumo_strdup_null(key);
    stream->chunks = lumo_queue_create();
    stream->lock = lumo_lock_create();
    if ((key != nullptr && stream->key == nullptr) || stream->chunks == nullptr ||
        stream->lock == nullptr) {
        free_stream(stream);
        return nullptr;
    }
    return stream;
}

void lumo_instream_put(lumo_instream *stream, char *bytes, std::int32_t length) noexcept {
    bool drop;
    {
        LockGuard guard(stream->lock);
        drop = application_done(stream);
    }
    if (drop) {
        lumo_free(bytes);
        return;
    }
    lumo_chunk *chunk = &g_end_marker;
    if (length > 0) {
        chunk = static_cast<lumo_chunk *>(lumo_malloc(sizeof(lumo_chunk)));
        if (chunk == nullptr) {
            lumo_free(bytes);
            return;
        }
        *chunk = lumo_chunk{bytes, length};
        stream->unreadBlocks.fetch_add(1);
        stream->unreadBytes.fetch_add(length);
    } else {
        lumo_free(bytes);
    }
    if (lumo_queue_put(stream->chunks, chunk)) return;
    if (chunk != &g_end_marker) consumed(stream, chunk);
    free_chunk(chunk);
    // Without memory for the end marker's place in the queue, stopping the
    // queue ends the stream all the same: a reader then gets 0.
    if (chunk == &g_end_marker) lumo_queue_stop(stream->chunks);
}

void lumo_instream_cut(lumo_instream *stream) noexcept {
    if (stream->cut != 0) return;
    stream->cut = 1;
    lumo_instream_put(stream, nullptr, 0);
}

bool lumo_instream_detach(lumo_instream *stream) noexcept {
    return let_go(stream, &lumo_instream::removed);
}

void lumo_instream_representative_gone(lumo_instream *stream) noexcept {
    let_go(stream, &lumo_instream::representativeGone);
}

lumo_instream *lumo_instream_hand_out(lumo_instream *stream) noexcept {
    if (stream == nullptr) return nullptr;
    LockGuard guard(stream->lock);
    if (stream->appClosed == 0) stream->handedOut = 1;
    return stream;
}

std::int32_t lumo_instream_read(lumo_instream *stream, void *buffer, std::int32_t length) noexcept {
    if (stream->atEnd != 0) return 0;
    auto *out = static_cast<char *>(buffer);
    std::int32_t copied = 0;
    if (stream->current == nullptr) {
        stream->current = static_cast<lumo_chunk *>(lumo_queue_get(stream->chunks, 1, 0));
        if (stream->current == nullptr) return 0;
    }
    for (;;) {
        lumo_chunk *chunk = stream->current;
        if (chunk->length == 0) {
            stream->atEnd = 1;  // the marker stays current
            return copied;
        }
        std::int32_t n = std::min(chunk->length - stream->offset, length - copied);
        std::memcpy(out + copied, chunk->bytes + stream->offset, static_cast<std::size_t>(n));
        stream->offset += n;
        copied += n;
        if (stream->offset == chunk->length) {
            consumed(stream, chunk);
            free_chunk(chunk);
            stream->current = nullptr;
            stream->offset = 0;
        }
        if (copied == length) return copied;
        // Bytes are in hand: take only what is already there.
        stream->current = static_cast<lumo_chunk *>(lumo_queue_get(stream->chunks, 0, 0));
        if (stream->current == nullptr) return copied;
    }
}

void lumo_instream_close(lumo_instream **handle) noexcept {
    lumo_instream *stream = *handle;
    *handle = nullptr;
    let_go(stream, &lumo_instream::appClosed);
}

}  // namespace vavevar
