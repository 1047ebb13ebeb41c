// Property list: an ordered table of uniquely named text properties.
#pragma once

#include <cstdint>

#include "vavevar.h"

struct lumo_proplist {
    lumo_property *entries;  // null until the first entry; texts owned by the list
    std::int32_t capacity;   // slots in `entries`, a multiple of kProplistStep
    std::int32_t count;      // slots in use
};

namespace vavevar {

inline constexpr std::int32_t kProplistStep = 8;

lumo_proplist *lumo_proplist_create() noexcept;

// REQUIRES: list is not null.
void lumo_proplist_destroy(lumo_proplist *list) noexcept;

// Null when memory runs out, leaving the list as it was. REQUIRES: list,
// name and value are not null (a null value is refused at the C boundary, so
// every stored value is a text).
const lumo_property *lumo_proplist_put(lumo_proplist *list, const char *name,
                                       const char *value) noexcept;

// REQUIRES: list and name are not null.
const char *lumo_proplist_get(const lumo_proplist *list, const char *name) noexcept;

// REQUIRES: list is not null and 0 <= index < its count.
const lumo_property *lumo_proplist_getIndex(const lumo_proplist *list, std::int32_t index) noexcept;

// 0 for a null list: the subscription request counts a subscriber's
// properties, which may be absent.
std::int32_t lumo_proplist_count(const lumo_proplist *list) noexcept;

// Deep copy with the same capacity, count and order; null for a null source
// or when memory runs out (nothing of a partial copy is left behind).
lumo_proplist *lumo_proplist_copy(const lumo_proplist *list) noexcept;

}  // namespace vavevar
