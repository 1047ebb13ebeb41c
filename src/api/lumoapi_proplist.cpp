// Exported property-list entry points.
#include "notification/proplist.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT lumo_proplist *lumo_proplist_create(void) noexcept { return v::lumo_proplist_create(); }

LUMO_EXPORT void lumo_proplist_destroy(lumo_proplist **list) noexcept {
    if (list == nullptr || *list == nullptr) return;
    v::lumo_proplist_destroy(*list);
    *list = nullptr;
}

LUMO_EXPORT const lumo_property *lumo_proplist_put(lumo_proplist *list, const char *name,
                                                   const char *value) noexcept {
    return v::lumo_proplist_put(list, name, value);
}

LUMO_EXPORT const char *lumo_proplist_get(const lumo_proplist *list, const char *name) noexcept {
    return v::lumo_proplist_get(list, name);
}

LUMO_EXPORT const lumo_property *lumo_proplist_getIndex(const lumo_proplist *list,
                                                        int32_t index) noexcept {
    return v::lumo_proplist_getIndex(list, index);
}

LUMO_EXPORT int32_t lumo_proplist_count(const lumo_proplist *list) noexcept {
    return v::lumo_proplist_count(list);
}

}  // extern "C"
