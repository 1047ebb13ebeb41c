#include "heap.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vavevard {
namespace {

// Below this a burst is not worth a pass over the heap.
constexpr std::size_t kReleaseMinimum = 8 * 1024 * 1024;

}  // namespace

void heap_tune() noexcept {
#if defined(__GLIBC__)
    // A fixed threshold: the allocator would otherwise raise it to the size
    // of the largest block freed, and keep every later body in the heap.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    ::mallopt(M_TRIM_THRESHOLD, 4 * 1024 * 1024);
#endif
}

bool HeapReleaser::release(std::size_t held) noexcept {
    observe(held);
    if (peak_ - held < kReleaseMinimum || held > peak_ / 2) return false;
    peak_ = held;
#if defined(__GLIBC__)
    ::malloc_trim(0);
    return true;
#else
    return false;
#endif
}

}  // namespace vavevard
