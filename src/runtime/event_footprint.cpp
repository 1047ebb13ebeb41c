#include "runtime/event_footprint.h"

#include <cstring>
#include <initializer_list>

#include "port/queue.h"

namespace vavevar {
namespace {

constexpr std::size_t kChunkHeader = sizeof(std::size_t);
constexpr std::size_t kChunkAlign = 16;
constexpr std::size_t kSmallestChunk = 32;

bool within(const void *p, const void *block, std::size_t size) {
    const auto *start = static_cast<const char *>(block);
    const auto *at = static_cast<const char *>(p);
    return at >= start && at < start + size;
}

// Texts and properties inside the record's block or the stamp's block were
// counted with that block.
bool shared(const lumo_notification *n, const void *p) {
    return within(p, n, n->blockSize) || within(p, n->stampBlock, n->stampBlockSize);
}

std::uint64_t text_apart(const lumo_notification *n, const char *text) {
    return text != nullptr && !shared(n, text) ? lumo_heap_chunk(std::strlen(text) + 1) : 0;
}

}  // namespace

std::uint64_t lumo_heap_chunk(std::size_t size) noexcept {
    std::size_t chunk = (size + kChunkHeader + kChunkAlign - 1) / kChunkAlign * kChunkAlign;
    return chunk < kSmallestChunk ? kSmallestChunk : chunk;
}

std::uint64_t lumo_event_footprint(const lumo_notification *n) noexcept {
    std::uint64_t bytes = lumo_heap_chunk(sizeof(lumo_queue_node));
    bytes += lumo_heap_chunk(n->blockSize > 0 ? n->blockSize : sizeof(lumo_notification));
    if (n->stampBlock != nullptr) bytes += lumo_heap_chunk(n->stampBlockSize);
    for (const char *text : {n->type, n->stamp, n->affectedComponents, n->affectedNodes,
                             n->generatingComponent, n->generatingNode, n->generatingProcess,
                             n->id, n->instanceName, n->streamKey})
        bytes += text_apart(n, text);
    if (n->body != nullptr && !shared(n, n->body))
        bytes += lumo_heap_chunk(n->bodyLength > 0 ? static_cast<std::size_t>(n->bodyLength) : 1);
    for (const lumo_propnode *node = n->properties; node != nullptr; node = node->next) {
        if (shared(n, node)) continue;
        bytes += lumo_heap_chunk(sizeof(lumo_propnode)) + text_apart(n, node->name) +
                 text_apart(n, node->value);
    }
    return bytes;
}

}  // namespace vavevar
