#include <cstring>

#include "bodyblock/bodyblock.h"
#include "port/memory.h"

namespace vavevar {
namespace {

// Segment and element lists share their shape, so one set of list operations
// serves both.
template <typename Item, typename List>
void append(List *list, Item *item) {
    item->next = nullptr;
    item->prev = list->last;
    if (list->last != nullptr)
        list->last->next = item;
    else
        list->first = item;
    list->last = item;
    ++list->count;
}

template <typename Item, typename List>
void unlink(List *list, Item *item) {
    if (item->prev != nullptr)
        item->prev->next = item->next;
    else
        list->first = item->next;
    if (item->next != nullptr)
        item->next->prev = item->prev;
    else
        list->last = item->prev;
    --list->count;
}

// Hash and length rule out almost every mismatch before any name bytes are read.
template <typename Item, typename List>
Item *find(List *list, const char *name, std::uint32_t name_len) {
    std::uint32_t hash = lumo_bb_hash(name, name_len);
    for (Item *item = list->first; item != nullptr; item = item->next)
        if (item->name_hash == hash && item->name_len == name_len &&
            std::memcmp(item->name, name, name_len) == 0)
            return item;
    return nullptr;
}

// Names are texts of the caller; a length the records cannot hold is refused.
bool text_length(const char *text, std::uint32_t *length) {
    std::size_t n = std::strlen(text);
    if (n > INT32_MAX) return false;
    *length = static_cast<std::uint32_t>(n);
    return true;
}

// Fills in a fresh record whose name is stored right behind it.
template <typename Record>
Record *start_record(void *memory, const char *name, std::uint32_t name_len) {
    auto *record = static_cast<Record *>(memory);
    *record = Record{};
    record->name = reinterpret_cast<char *>(record + 1);
    std::memcpy(record->name, name, name_len);
    record->name[name_len] = '\0';
    record->name_len = name_len;
    record->name_hash = lumo_bb_hash(name, name_len);
    return record;
}

void release_elements(lumo_bb_elemlist *list) {
    for (lumo_bb_elem *elem = list->first; elem != nullptr;) {
        lumo_bb_elem *next = elem->next;
        lumo_free(elem);
        elem = next;
    }
}

// Releases a chain of sibling segments with everything below them. Each
// segment's children are spliced in front of the rest of the chain, so the
// whole tree goes in one loop without recursion.
void release_segments(lumo_bb_seg *chain) {
    while (chain != nullptr) {
        lumo_bb_seg *seg = chain;
        chain = seg->next;
        if (seg->segments.first != nullptr) {
            seg->segments.last->next = chain;
            chain = seg->segments.first;
        }
        release_elements(&seg->elements);
        lumo_free(seg);
    }
}

lumo_bb_seg *get_segment(lumo_bb_seglist *list, const char *name) {
    std::uint32_t name_len;
    if (!text_length(name, &name_len)) return nullptr;
    return find<lumo_bb_seg>(list, name, name_len);
}

lumo_bb_seg *add_segment(lumo_bb_seglist *list, const char *name) {
    std::uint32_t name_len;
    if (!text_length(name, &name_len)) return nullptr;
    if (lumo_bb_seg *existing = find<lumo_bb_seg>(list, name, name_len)) return existing;
    lumo_bb_seg *seg = lumo_bb_seg_new(name, name_len, 0);
    if (seg != nullptr) lumo_bb_seglist_append(list, seg);
    return seg;
}

}  // namespace

std::uint32_t lumo_bb_hash(const char *name, std::size_t length) noexcept {
    std::uint32_t hash = 0;
    unsigned shift = 0;
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= static_cast<std::uint32_t>(static_cast<unsigned char>(name[i])) << shift;
        shift = shift == 24 ? 0 : shift + 1;
    }
    return hash;
}

lumo_bb *lumo_bb_create() noexcept {
    auto *block = static_cast<lumo_bb *>(lumo_malloc(sizeof(lumo_bb)));
    if (block != nullptr) *block = lumo_bb{};
    return block;
}

void lumo_bb_destroy(lumo_bb *block) noexcept {
    release_segments(block->first);
    lumo_free(block);
}

lumo_bb_seglist *lumo_bb_getsegments(lumo_bb *block) noexcept { return block; }

lumo_bb_seg *lumo_bb_getsegment(lumo_bb *block, const char *name) noexcept {
    return get_segment(block, name);
}

lumo_bb_seg *lumo_bb_addsegment(lumo_bb *block, const char *name) noexcept {
    return add_segment(block, name);
}

lumo_bb_seg *lumo_bb_seg_getsegment(lumo_bb_seg *seg, const char *name) noexcept {
    return get_segment(&seg->segments, name);
}

lumo_bb_seg *lumo_bb_seg_addsegment(lumo_bb_seg *seg, const char *name) noexcept {
    return add_segment(&seg->segments, name);
}

const char *lumo_bb_seg_getelement(lumo_bb_seg *seg, const char *name,
                                   std::uint32_t *length) noexcept {
    std::uint32_t name_len;
    lumo_bb_elem *elem = nullptr;
    if (text_length(name, &name_len)) elem = find<lumo_bb_elem>(&seg->elements, name, name_len);
    if (length != nullptr) *length = elem != nullptr ? static_cast<std::uint32_t>(elem->value_len) : 0;
    return elem != nullptr ? elem->value : nullptr;
}

lumo_bb_elem *lumo_bb_seg_addelement(lumo_bb_seg *seg, const char *name,
                                     const char *value) noexcept {
    return vavevar::lumo_bb_seg_addelement_b(seg, name, value, -1);
}

lumo_bb_elem *lumo_bb_seg_addelement_b(lumo_bb_seg *seg, const char *name, const void *value,
                                       std::int32_t length) noexcept {
    std::uint32_t name_len;
    if (!text_length(name, &name_len)) return nullptr;
    if (length == -1) {
        std::uint32_t value_len;
        if (!text_length(static_cast<const char *>(value), &value_len)) return nullptr;
        length = static_cast<std::int32_t>(value_len);
    }
    return lumo_bb_seg_putelement(seg, name, name_len, value, length);
}

const char *lumo_bb_elem_getvalue(lumo_bb_elem *elem, std::uint32_t *length) noexcept {
    if (length != nullptr) *length = static_cast<std::uint32_t>(elem->value_len);
    return elem->value;
}

lumo_bb_seg *lumo_bb_seg_new(const char *name, std::uint32_t name_len,
                             std::uint32_t level) noexcept {
    void *memory = lumo_malloc(sizeof(lumo_bb_seg) + std::size_t{name_len} + 1);
    if (memory == nullptr) return nullptr;
    lumo_bb_seg *seg = start_record<lumo_bb_seg>(memory, name, name_len);
    seg->level = level;
    return seg;
}

void lumo_bb_seglist_append(lumo_bb_seglist *list, lumo_bb_seg *seg) noexcept {
    append(list, seg);
}

lumo_bb_elem *lumo_bb_seg_putelement(lumo_bb_seg *seg, const char *name, std::uint32_t name_len,
                                     const void *value, std::int32_t value_len) noexcept {
    const std::size_t size =
        sizeof(lumo_bb_elem) + std::size_t{name_len} + static_cast<std::size_t>(value_len) + 2;
    void *memory = lumo_malloc(size);
    // The element being replaced goes only once its successor exists, so a
    // failed replacement loses nothing.
    if (memory == nullptr) return nullptr;
    lumo_bb_elem *elem = start_record<lumo_bb_elem>(memory, name, name_len);
    elem->value = elem->name + name_len + 1;
    if (value_len > 0) std::memcpy(elem->value, value, static_cast<std::size_t>(value_len));
    elem->value[value_len] = '\0';
    elem->value_len = value_len;

    if (lumo_bb_elem *old = find<lumo_bb_elem>(&seg->elements, name, name_len)) {
        unlink(&seg->elements, old);
        lumo_free(old);
    }
    append(&seg->elements, elem);
    return elem;
}

}  // namespace vavevar
