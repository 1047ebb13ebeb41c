// Condition variables on the heap, for records that hold theirs by pointer.
#pragma once

#include "vavevar.h"

namespace vavevar {

// Returns a new initialised condition variable, or null when memory runs out
// or its initialisation fails.
lumox_win32_cond_t *lumo_cond_create() noexcept;

// Destroys and releases a condition variable no thread waits on; null is ignored.
void lumo_cond_free(lumox_win32_cond_t *cond) noexcept;

}  // namespace vavevar
