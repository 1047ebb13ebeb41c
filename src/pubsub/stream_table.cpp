#include "pubsub/stream_table.h"

#include <cstring>

#include "port/memory.h"

namespace vavevar {

lumo_streamtable *lumo_streamtable_new() noexcept {
    auto *table = static_cast<lumo_streamtable *>(lumo_malloc(sizeof(lumo_streamtable)));
    if (table != nullptr) *table = lumo_streamtable{};
    return table;
}

lumo_instream *lumo_streamtable_find(const lumo_streamtable *table, const char *key) noexcept {
    if (table == nullptr || key == nullptr) return nullptr;
    for (lumo_instream *stream = table->head; stream != nullptr; stream = stream->next)
        if (stream->key != nullptr && std::strcmp(stream->key, key) == 0) return stream;
    return nullptr;
}

void lumo_streamtable_add(lumo_streamtable *table, lumo_instream *stream) noexcept {
    stream->next = nullptr;
    stream->previous = table->tail;
    (table->tail != nullptr ? table->tail->next : table->head) = stream;
    table->tail = stream;
    table->count += 1;
}

bool lumo_streamtable_remove(lumo_streamtable *table, lumo_instream *stream) noexcept {
    (stream->previous != nullptr ? stream->previous->next : table->head) = stream->next;
    (stream->next != nullptr ? stream->next->previous : table->tail) = stream->previous;
    stream->next = stream->previous = nullptr;
    table->count -= 1;
    return lumo_instream_detach(stream);
}

void lumo_streamtable_destroy(lumo_streamtable **table) noexcept {
    if (table == nullptr || *table == nullptr) return;
    while (lumo_instream *stream = (*table)->head) {
        // Cut short here: a reader still holding the stream reads what came
        // and then its end, instead of waiting for blocks that never come.
        lumo_instream_put(stream, nullptr, 0);
        lumo_streamtable_remove(*table, stream);
    }
    lumo_free(*table);
    *table = nullptr;
}

}  // namespace vavevar
