// The daemon's use of the C allocator. A burst (a flood of large events, many
// clients at once) leaves freed memory in the heap, which the allocator keeps
// for later unless told otherwise; an operator then sees a daemon that never
// shrinks. Large blocks are given their own mappings, returned the moment
// they are freed, and after a burst what the heap keeps free is returned too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vavevard {

// Called once at start, before the daemon allocates much.
void heap_tune() noexcept;

// Watches what the daemon accounts for and returns free heap memory to the
// system once a burst has passed: when what is held has fallen well below
// its peak since the last return.
class HeapReleaser {
public:
    // `held`: what the daemon holds now. Cheap: called at every turn of the
    // loop, so that a peak between two releases is seen.
    void observe(std::size_t held) noexcept {
        if (held > peak_) peak_ = held;
    }
    // Returns free heap memory to the system if what is held has fallen well
    // below the peak; true when it did. A pass over the heap: called at most
    // about once a second.
    bool release(std::size_t held) noexcept;

private:
    std::size_t peak_ = 0;
};

}  // namespace vavevard
