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

// Null list, name or value yields null and leaves the list as it was.
const lumo_property *lumo_proplist_put(lumo_proplist *list, const char *name,
                                       const char *value) noexcept;

const char *lumo_proplist_get(const lumo_proplist *list, const char *name) noexcept;
const lumo_property *lumo_proplist_getIndex(const lumo_proplist *list, std::int32_t index) noexcept;
std::int32_t lumo_proplist_count(const lumo_proplist *list) noexcept;

// Deep copy with the same capacity, count and order; null for a null source
// or when memory runs out (nothing of a partial copy is left behind).
lumo_proplist *lumo_proplist_copy(const lumo_proplist *list) noexcept;

}  // namespace vavevar
