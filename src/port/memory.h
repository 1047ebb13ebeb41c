// Allocation and string-duplication helpers. Every allocation of the library
// goes through these, so out-of-memory takes one path (a null result) and
// tests can inject it at a chosen point.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vavevar {

// Returns `size` bytes from the standard allocator, or null. Never aborts.
void *lumo_malloc(std::size_t size) noexcept;

// The standard reallocation; on failure null is returned and `pointer` stays valid.
void *lumo_realloc(void *pointer, std::size_t size) noexcept;

// Releases a block from lumo_malloc/lumo_realloc/lumo_strdup; null is ignored.
void lumo_free(void *pointer) noexcept;

// Returns a heap copy of `text` (which must not be null), or null.
char *lumo_strdup(const char *text) noexcept;

// As lumo_strdup, but a null `text` yields null without allocating.
char *lumo_strdup_null(const char *text) noexcept;

// Fault injection for tests: after `successes` more successful allocations,
// every lumo_malloc and lumo_realloc fails until lumo_alloc_fault_clear().
void lumo_alloc_fault_after(std::int64_t successes) noexcept;
void lumo_alloc_fault_clear() noexcept;

}  // namespace vavevar
