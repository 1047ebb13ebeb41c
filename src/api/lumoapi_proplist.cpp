// Exported property-list entry points. The arguments are checked here, once.
#include "notification/proplist.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT lumo_proplist *lumo_proplist_create(void) noexcept { return v::lumo_proplist_create(); }

LUMO_EXPORT void lumo_proplist_destroy(lumo_proplist **list) noexcept {
    if (list == nullptr || *list == nullptr) return;
    v::lumo_proplist_destroy(*list);
    *list = nullptr;
}

// A null value is refused so that every stored value is a text that copies
// and subscription requests can take as it is.
LUMO_EXPORT const lumo_property *lumo_proplist_put(lumo_proplist *list, const char *name,
                                                   const char *value) noexcept {
    if (list == nullptr || name == nullptr || value == nullptr) return nullptr;
    return v::lumo_proplist_put(list, name, value);
}

LUMO_EXPORT const char *lumo_proplist_get(const lumo_proplist *list, const char *name) noexcept {
    if (list == nullptr || name == nullptr) return nullptr;
    return v::lumo_proplist_get(list, name);
}

LUMO_EXPORT const lumo_property *lumo_proplist_getIndex(const lumo_proplist *list,
                                                        int32_t index) noexcept {
    if (list == nullptr || index < 0 || index >= list->count) return nullptr;
    return v::lumo_proplist_getIndex(list, index);
}

// Counting takes a null list itself: the subscription request counts a
// subscriber's properties, which may be absent.
LUMO_EXPORT int32_t lumo_proplist_count(const lumo_proplist *list) noexcept {
    return v::lumo_proplist_count(list);
}

}  // extern "C"
