// Exported body-block entry points. The arguments are checked here, once; the
// model's operations take them for granted. Accessors that read one field
// read it here.
#include "bodyblock/bodyblock.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT lumo_bb *lumo_bb_create(void) noexcept { return v::lumo_bb_create(); }

LUMO_EXPORT void lumo_bb_destroy(lumo_bb *block) noexcept {
    if (block != nullptr) v::lumo_bb_destroy(block);
}

LUMO_EXPORT lumo_bb_seglist *lumo_bb_getsegments(lumo_bb *block) noexcept {
    return v::lumo_bb_getsegments(block);
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_getsegment(lumo_bb *block, const char *name) noexcept {
    if (block == nullptr || name == nullptr) return nullptr;
    return v::lumo_bb_getsegment(block, name);
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_addsegment(lumo_bb *block, const char *name) noexcept {
    if (block == nullptr || name == nullptr) return nullptr;
    return v::lumo_bb_addsegment(block, name);
}

LUMO_EXPORT const char *lumo_bb_seg_getname(lumo_bb_seg *seg) noexcept {
    return seg != nullptr ? seg->name : nullptr;
}

LUMO_EXPORT lumo_bb_seglist *lumo_bb_seg_getsegments(lumo_bb_seg *seg) noexcept {
    return seg != nullptr ? &seg->segments : nullptr;
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_seg_getsegment(lumo_bb_seg *seg, const char *name) noexcept {
    if (seg == nullptr || name == nullptr) return nullptr;
    return v::lumo_bb_seg_getsegment(seg, name);
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_seg_addsegment(lumo_bb_seg *seg, const char *name) noexcept {
    if (seg == nullptr || name == nullptr) return nullptr;
    return v::lumo_bb_seg_addsegment(seg, name);
}

LUMO_EXPORT lumo_bb_elemlist *lumo_bb_seg_getelements(lumo_bb_seg *seg) noexcept {
    return seg != nullptr ? &seg->elements : nullptr;
}

LUMO_EXPORT const char *lumo_bb_seg_getelement(lumo_bb_seg *seg, const char *name,
                                               uint32_t *length) noexcept {
    if (seg == nullptr) return nullptr;  // the length slot stays as it was
    if (name == nullptr) {
        if (length != nullptr) *length = 0;
        return nullptr;
    }
    return v::lumo_bb_seg_getelement(seg, name, length);
}

LUMO_EXPORT lumo_bb_elem *lumo_bb_seg_addelement(lumo_bb_seg *seg, const char *name,
                                                 const char *value) noexcept {
    if (seg == nullptr || name == nullptr || value == nullptr) return nullptr;
    return v::lumo_bb_seg_addelement(seg, name, value);
}

LUMO_EXPORT lumo_bb_elem *lumo_bb_seg_addelement_b(lumo_bb_seg *seg, const char *name,
                                                   const void *value, int32_t length) noexcept {
    if (seg == nullptr || name == nullptr || value == nullptr || length < -1) return nullptr;
    return v::lumo_bb_seg_addelement_b(seg, name, value, length);
}

LUMO_EXPORT const char *lumo_bb_elem_getname(lumo_bb_elem *elem) noexcept {
    return elem != nullptr ? elem->name : nullptr;
}

LUMO_EXPORT const char *lumo_bb_elem_getvalue(lumo_bb_elem *elem, uint32_t *length) noexcept {
    if (elem == nullptr) {
        if (length != nullptr) *length = 0;
        return nullptr;
    }
    return v::lumo_bb_elem_getvalue(elem, length);
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_seglist_getfirst(lumo_bb_seglist *list) noexcept {
    return list != nullptr ? list->first : nullptr;
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_seglist_getnext(lumo_bb_seg *seg) noexcept {
    return seg != nullptr ? seg->next : nullptr;
}

LUMO_EXPORT lumo_bb_elem *lumo_bb_elemlist_getfirst(lumo_bb_elemlist *list) noexcept {
    return list != nullptr ? list->first : nullptr;
}

LUMO_EXPORT lumo_bb_elem *lumo_bb_elemlist_getnext(lumo_bb_elem *elem) noexcept {
    return elem != nullptr ? elem->next : nullptr;
}

// A null block is no bad input: it encodes as an empty one.
LUMO_EXPORT void *lumo_bb_block2body(lumo_bb *block, uint32_t *length) noexcept {
    if (length == nullptr) return nullptr;
    return v::lumo_bb_block2body(block, length);
}

// The decoder checks the body itself: the notification renderer hands it
// bodies that may be absent, and the signature is content, not an argument.
LUMO_EXPORT lumo_bb *lumo_bb_body2block(const void *body, int32_t length) noexcept {
    return v::lumo_bb_body2block(body, length);
}

LUMO_EXPORT char *lumo_bb_toString(lumo_bb *block) noexcept {
    if (block == nullptr) return nullptr;
    return v::lumo_bb_toString(block);
}

}  // extern "C"
