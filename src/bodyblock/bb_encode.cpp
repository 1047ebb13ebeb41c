#include <cstring>

#include "bodyblock/bb_walk.h"
#include "bodyblock/bodyblock.h"
#include "port/memory.h"
#include "wire/bb_format.h"

namespace vavevar {
namespace {

// Size of the encoding, or 0 when the block holds something the format has no
// room for: such a block is refused rather than written as a body that would
// decode into a different block.
std::uint64_t encoded_size(lumo_bb *block) {
    std::uint64_t size = wire::kBbSignatureSize;
    BbWalk walk(block, wire::kBbMaxLevel);
    for (lumo_bb_seg *seg; (seg = walk.segment()) != nullptr;) {
        if (seg->name_len > wire::kBbMaxSegmentName) return 0;
        size += wire::kBbSegmentOverhead + seg->name_len;
        for (const lumo_bb_elem *elem = seg->elements.first; elem != nullptr; elem = elem->next) {
            if (elem->name_len > wire::kBbMaxElementName ||
                static_cast<std::uint32_t>(elem->value_len) > wire::kBbMaxValue)
                return 0;
            size += wire::kBbElementOverhead + elem->name_len +
                    static_cast<std::uint32_t>(elem->value_len);
        }
        if (!walk.advance()) return 0;  // nested deeper than a level byte can say
    }
    return size <= UINT32_MAX ? size : 0;
}

unsigned char *put_u16(unsigned char *out, std::uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 8);
    out[1] = static_cast<unsigned char>(value);
    return out + 2;
}

// Copies `length` bytes and the NUL that every stored name and value has.
unsigned char *put_text(unsigned char *out, const char *text, std::uint32_t length) {
    std::memcpy(out, text, std::size_t{length} + 1);
    return out + length + 1;
}

}  // namespace

void *lumo_bb_block2body(lumo_bb *block, std::uint32_t *length) noexcept {
    const std::uint64_t size = encoded_size(block);
    if (size == 0) return nullptr;
    auto *body = static_cast<unsigned char *>(lumo_malloc(static_cast<std::size_t>(size)));
    if (body == nullptr) return nullptr;

    unsigned char *out = body;
    std::memcpy(out, wire::kBbSignature, wire::kBbSignatureSize);
    out += wire::kBbSignatureSize;
    // The level written is the depth in the tree, whatever a decoded
    // segment's own level field says.
    BbWalk walk(block, wire::kBbMaxLevel);
    for (lumo_bb_seg *seg; (seg = walk.segment()) != nullptr; walk.advance()) {
        *out++ = wire::kBbTagSegment;
        out = put_u16(out, seg->name_len + 1);
        out = put_text(out, seg->name, seg->name_len);
        *out++ = static_cast<unsigned char>(walk.depth());
        for (const lumo_bb_elem *elem = seg->elements.first; elem != nullptr; elem = elem->next) {
            const auto value_len = static_cast<std::uint32_t>(elem->value_len);
            *out++ = wire::kBbTagElement;
            out = put_u16(out, elem->name_len);
            out = put_text(out, elem->name, elem->name_len);
            out = put_u16(out, value_len);
            out = put_text(out, elem->value, value_len);
        }
    }
    *length = static_cast<std::uint32_t>(size);
    return body;
}

}  // namespace vavevar
