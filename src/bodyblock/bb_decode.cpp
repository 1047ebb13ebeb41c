#include <cstring>

#include "bodyblock/bodyblock.h"
#include "port/memory.h"
#include "wire/bb_format.h"

namespace vavevar {
namespace {

// Read position in the body. Every read is checked against `left`, so no
// record, however its lengths are corrupted, makes the decoder look past the
// end of the body.
struct Cursor {
    const unsigned char *at;
    std::uint32_t left;

    bool has(std::uint32_t n) const { return left >= n; }
    unsigned char peek() const { return *at; }
    void skip(std::uint32_t n) {
        at += n;
        left -= n;
    }
    std::uint32_t u16(std::uint32_t offset) const {
        return std::uint32_t{at[offset]} << 8 | at[offset + 1];
    }
};

// Length of the name in a name field: the bytes before its first NUL. A field
// without a NUL is cut to `declared` bytes, the name length its record gives,
// which keeps every decoded name within what the encoder can write again.
std::uint32_t name_length(const unsigned char *field, std::uint32_t field_len,
                          std::uint32_t declared) {
    const void *nul = std::memchr(field, '\0', field_len);
    if (nul == nullptr) return declared;
    return static_cast<std::uint32_t>(static_cast<const unsigned char *>(nul) - field);
}

// Reads the segment record at the cursor, which holds at least 4 bytes. Null
// ends the decoding: the record does not fit, carries a length no encoder
// writes, or memory ran out.
lumo_bb_seg *read_segment(Cursor &in) {
    const std::uint32_t field_len = in.u16(1);  // name and its NUL
    if (field_len == wire::kBbLengthNeverWritten || !in.has(3 + field_len + 1)) return nullptr;
    const unsigned char *field = in.at + 3;
    const std::uint32_t name_len =
        name_length(field, field_len, field_len > 0 ? field_len - 1 : 0);
    const std::uint32_t level = field[field_len];
    lumo_bb_seg *seg = lumo_bb_seg_new(reinterpret_cast<const char *>(field), name_len, level);
    if (seg != nullptr) in.skip(3 + field_len + 1);
    return seg;
}

// Reads the element record at the cursor (at least 4 bytes) into `seg`.
// Returns false when the record runs past the end of the body or carries a
// length no encoder writes: nothing after it can be trusted, so decoding ends.
// An element that finds no memory is left out and decoding goes on.
bool read_element(Cursor &in, lumo_bb_seg *seg) {
    const std::uint32_t name_len = in.u16(1);
    if (name_len == wire::kBbLengthNeverWritten || !in.has(3 + name_len + 1 + 2)) return false;
    const std::uint32_t value_at = 3 + name_len + 1 + 2;
    const std::uint32_t value_len = in.u16(value_at - 2);
    if (value_len == wire::kBbLengthNeverWritten || !in.has(value_at + value_len + 1)) return false;
    const unsigned char *name = in.at + 3;
    lumo_bb_seg_putelement(seg, reinterpret_cast<const char *>(name),
                           name_length(name, name_len + 1, name_len), in.at + value_at,
                           static_cast<std::int32_t>(value_len));
    in.skip(value_at + value_len + 1);
    return true;
}

bool at_record(const Cursor &in) { return in.has(4); }

}  // namespace

lumo_bb *lumo_bb_body2block(const void *body, std::int32_t length) noexcept {
    if (body == nullptr || length < static_cast<std::int32_t>(wire::kBbSignatureSize) ||
        std::memcmp(body, wire::kBbSignature, wire::kBbSignatureSize) != 0)
        return nullptr;
    lumo_bb *block = lumo_bb_create();
    if (block == nullptr) return nullptr;
    constexpr auto kSignature = static_cast<std::uint32_t>(wire::kBbSignatureSize);
    Cursor in{static_cast<const unsigned char *>(body) + kSignature,
              static_cast<std::uint32_t>(length) - kSignature};

    if (!at_record(in) || in.peek() != wire::kBbTagSegment) return block;
    lumo_bb_seg *seg = read_segment(in);
    if (seg == nullptr) return block;
    if (seg->level != 0) {
        lumo_free(seg);
        return block;
    }

    // open[c] is the segment most recently placed at level c. A segment one
    // level deeper than the last becomes its child; one at the same or a
    // lower level closes the open segments down to its own level and joins
    // the list there; one that skips a level ends the decoding.
    lumo_bb_seg *open[wire::kBbMaxLevel + 1];
    std::uint32_t current = 0;
    lumo_bb_seglist_append(block, seg);
    open[0] = seg;
    for (;;) {
        while (at_record(in) && in.peek() == wire::kBbTagElement)
            if (!read_element(in, seg)) return block;
        if (!at_record(in) || in.peek() == wire::kBbTagEnd) return block;
        // Any other tag starts a segment record.
        seg = read_segment(in);
        if (seg == nullptr) return block;
        if (seg->level > current + 1) {
            lumo_free(seg);
            return block;
        }
        current = seg->level;
        lumo_bb_seglist_append(current == 0 ? block : &open[current - 1]->segments, seg);
        open[current] = seg;
    }
}

}  // namespace vavevar
