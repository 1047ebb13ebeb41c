#include "port/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vavevar {
namespace {

// Number of allocations still allowed to succeed; negative means no fault is
// armed. Read on every allocation, from any thread.
std::atomic<std::int64_t> g_allocations_left{-1};

bool injected_failure() noexcept {
    std::int64_t left = g_allocations_left.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0) return true;
        if (g_allocations_left.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
            return false;
    }
    return false;
}

}  // namespace

void *lumo_malloc(std::size_t size) noexcept {
    if (injected_failure()) return nullptr;
    return std::malloc(size);
}

void *lumo_realloc(void *pointer, std::size_t size) noexcept {
    if (injected_failure()) return nullptr;
    return std::realloc(pointer, size);
}

void lumo_free(void *pointer) noexcept { std::free(pointer); }

char *lumo_strdup(const char *text) noexcept {
    std::size_t size = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(lumo_malloc(size));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
}

char *lumo_strdup_null(const char *text) noexcept {
    return text == nullptr ? nullptr : lumo_strdup(text);
}

void lumo_alloc_fault_after(std::int64_t successes) noexcept {
    g_allocations_left.store(successes < 0 ? 0 : successes, std::memory_order_relaxed);
}

void lumo_alloc_fault_clear() noexcept { g_allocations_left.store(-1, std::memory_order_relaxed); }

}  // namespace vavevar
