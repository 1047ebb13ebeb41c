// Exported body-block entry points. The internal operations already accept
// null for every argument the interface lets be null.
#include "bodyblock/bodyblock.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT lumo_bb *lumo_bb_create(void) noexcept { return v::lumo_bb_create(); }

LUMO_EXPORT void lumo_bb_destroy(lumo_bb *block) noexcept { v::lumo_bb_destroy(block); }

LUMO_EXPORT lumo_bb_seglist *lumo_bb_getsegments(lumo_bb *block) noexcept {
    return v::lumo_bb_getsegments(block);
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_getsegment(lumo_bb *block, const char *name) noexcept {
    return v::lumo_bb_getsegment(block, name);
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_addsegment(lumo_bb *block, const char *name) noexcept {
    return v::lumo_bb_addsegment(block, name);
}

LUMO_EXPORT const char *lumo_bb_seg_getname(lumo_bb_seg *seg) noexcept {
    return v::lumo_bb_seg_getname(seg);
}

LUMO_EXPORT lumo_bb_seglist *lumo_bb_seg_getsegments(lumo_bb_seg *seg) noexcept {
    return v::lumo_bb_seg_getsegments(seg);
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_seg_getsegment(lumo_bb_seg *seg, const char *name) noexcept {
    return v::lumo_bb_seg_getsegment(seg, name);
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_seg_addsegment(lumo_bb_seg *seg, const char *name) noexcept {
    return v::lumo_bb_seg_addsegment(seg, name);
}

LUMO_EXPORT lumo_bb_elemlist *lumo_bb_seg_getelements(lumo_bb_seg *seg) noexcept {
    return v::lumo_bb_seg_getelements(seg);
}

LUMO_EXPORT const char *lumo_bb_seg_getelement(lumo_bb_seg *seg, const char *name,
                                               uint32_t *length) noexcept {
    return v::lumo_bb_seg_getelement(seg, name, length);
}

LUMO_EXPORT lumo_bb_elem *lumo_bb_seg_addelement(lumo_bb_seg *seg, const char *name,
                                                 const char *value) noexcept {
    return v::lumo_bb_seg_addelement(seg, name, value);
}

LUMO_EXPORT lumo_bb_elem *lumo_bb_seg_addelement_b(lumo_bb_seg *seg, const char *name,
                                                   const void *value, int32_t length) noexcept {
    return v::lumo_bb_seg_addelement_b(seg, name, value, length);
}

LUMO_EXPORT const char *lumo_bb_elem_getname(lumo_bb_elem *elem) noexcept {
    return v::lumo_bb_elem_getname(elem);
}

LUMO_EXPORT const char *lumo_bb_elem_getvalue(lumo_bb_elem *elem, uint32_t *length) noexcept {
    return v::lumo_bb_elem_getvalue(elem, length);
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_seglist_getfirst(lumo_bb_seglist *list) noexcept {
    return v::lumo_bb_seglist_getfirst(list);
}

LUMO_EXPORT lumo_bb_seg *lumo_bb_seglist_getnext(lumo_bb_seg *seg) noexcept {
    return v::lumo_bb_seglist_getnext(seg);
}

LUMO_EXPORT lumo_bb_elem *lumo_bb_elemlist_getfirst(lumo_bb_elemlist *list) noexcept {
    return v::lumo_bb_elemlist_getfirst(list);
}

LUMO_EXPORT lumo_bb_elem *lumo_bb_elemlist_getnext(lumo_bb_elem *elem) noexcept {
    return v::lumo_bb_elemlist_getnext(elem);
}

LUMO_EXPORT void *lumo_bb_block2body(lumo_bb *block, uint32_t *length) noexcept {
    return v::lumo_bb_block2body(block, length);
}

LUMO_EXPORT lumo_bb *lumo_bb_body2block(const void *body, int32_t length) noexcept {
    return v::lumo_bb_body2block(body, length);
}

LUMO_EXPORT char *lumo_bb_toString(lumo_bb *block) noexcept { return v::lumo_bb_toString(block); }

}  // extern "C"
