// Body blocks: a tree of named segments, each holding an ordered list of named
// elements (text or byte values) and an ordered list of child segments.
//
// A block owns everything below it. Segments and elements are single
// allocations: the record, then the name and its NUL, then (for elements) the
// value bytes and a NUL that the value length does not count. A block belongs
// to one thread at a time; nothing here takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vavevar.h"

// List heads: doubly linked, appended at the tail, with a count.
struct lumo_bb_seglist {
    lumo_bb_seg *first;
    lumo_bb_seg *last;
    std::uint32_t count;
};

struct lumo_bb_elemlist {
    lumo_bb_elem *first;
    lumo_bb_elem *last;
    std::uint32_t count;
};

// The block is nothing but its list of top-level segments, so the list handed
// out for it is the block itself.
struct lumo_bb : lumo_bb_seglist {};

struct lumo_bb_seg {
    lumo_bb_seg *next;
    lumo_bb_seg *prev;
    char *name;  // behind the record
    std::uint32_t name_len;
    std::uint32_t name_hash;
    lumo_bb_elemlist elements;
    lumo_bb_seglist segments;
    std::uint32_t level;  // as read from a body; 0 for segments built by the add operations
};

struct lumo_bb_elem {
    lumo_bb_elem *next;
    lumo_bb_elem *prev;
    char *name;  // behind the record
    std::uint32_t name_len;
    std::uint32_t name_hash;
    char *value;  // behind the name, always followed by a NUL
    std::int32_t value_len;
};

namespace vavevar {

// Byte-wise hash over the name: each byte XORed in at a shift that runs
// 0, 1, ..., 24 and wraps back to 0.
std::uint32_t lumo_bb_hash(const char *name, std::size_t length) noexcept;

// The model's operations take the C boundary's checks for granted: every
// block, segment, element, name and value pointer handed to them is not null
// (the one-field accessors of the public header read their field in
// src/api/ directly).

lumo_bb *lumo_bb_create() noexcept;

// Releases the block and everything under it. Never fails and never
// recurses, however deep the tree.
void lumo_bb_destroy(lumo_bb *block) noexcept;

// The block is its own list of top-level segments.
lumo_bb_seglist *lumo_bb_getsegments(lumo_bb *block) noexcept;

// Lookup and find-or-append by name; null when there is none (get) or memory
// runs out (add), and for a name longer than the records can hold.
lumo_bb_seg *lumo_bb_getsegment(lumo_bb *block, const char *name) noexcept;
lumo_bb_seg *lumo_bb_addsegment(lumo_bb *block, const char *name) noexcept;
lumo_bb_seg *lumo_bb_seg_getsegment(lumo_bb_seg *seg, const char *name) noexcept;
lumo_bb_seg *lumo_bb_seg_addsegment(lumo_bb_seg *seg, const char *name) noexcept;

// The length slot (when given) receives the value length, or 0 when there is
// no such element.
const char *lumo_bb_seg_getelement(lumo_bb_seg *seg, const char *name,
                                   std::uint32_t *length) noexcept;

lumo_bb_elem *lumo_bb_seg_addelement(lumo_bb_seg *seg, const char *name,
                                     const char *value) noexcept;

// A length of -1 takes the value as text up to its NUL. REQUIRES: length is
// -1 or above.
lumo_bb_elem *lumo_bb_seg_addelement_b(lumo_bb_seg *seg, const char *name, const void *value,
                                       std::int32_t length) noexcept;

// The length slot (when given) receives the value length.
const char *lumo_bb_elem_getvalue(lumo_bb_elem *elem, std::uint32_t *length) noexcept;

// Building blocks shared with the decoder, which has names as counted byte
// runs rather than NUL-terminated texts.

// A new unlinked segment with empty lists, or null when memory runs out.
lumo_bb_seg *lumo_bb_seg_new(const char *name, std::uint32_t name_len,
                             std::uint32_t level) noexcept;

// Appends an unlinked segment at the tail of `list`.
void lumo_bb_seglist_append(lumo_bb_seglist *list, lumo_bb_seg *seg) noexcept;

// Adds an element of a counted name and value, replacing an element of the
// same name, and returns it; null when memory runs out, in which case an
// element of that name already there stays where it was.
lumo_bb_elem *lumo_bb_seg_putelement(lumo_bb_seg *seg, const char *name, std::uint32_t name_len,
                                     const void *value, std::int32_t value_len) noexcept;

// Encodes the block into one new buffer of exactly the encoded size and
// stores that size in *length. A null or empty block gives the signature
// alone. Null, with *length untouched, when memory runs out or the block
// exceeds what the format can carry (see kBbMax*). REQUIRES: length is not
// null.
void *lumo_bb_block2body(lumo_bb *block, std::uint32_t *length) noexcept;

// Decodes a body into a new block; null for a null body, fewer than 12 bytes
// or a wrong signature. Malformed content ends decoding early and keeps what
// was decoded before it. Never reads beyond `length` bytes. The null body is
// checked here, not at the C boundary: the notification renderer hands over
// bodies that may be absent.
lumo_bb *lumo_bb_body2block(const void *body, std::int32_t length) noexcept;

// One line per segment and per element, indented by depth; null for an
// empty block, or when memory runs out. The caller releases the text with
// lumo_free (plain free).
char *lumo_bb_toString(lumo_bb *block) noexcept;

}  // namespace vavevar
