// Failure injection and counting for operator new, the seam of the daemon's
// allocations (it uses the standard containers, not the library's allocator).
// A test program that includes this links failing_new.cpp.
#pragma once

#include <cstdint>

namespace vavevard::test {

// False under the thread sanitizer, whose runtime keeps the allocation
// functions to itself: tests that need the seam skip there.
bool new_seam_available() noexcept;

// Calls of operator new so far, and the bytes they asked for, on every thread.
std::uint64_t new_calls() noexcept;
std::uint64_t new_bytes() noexcept;

// Makes the calling thread one that a fault scoped to marked threads fails.
void mark_thread_for_faults() noexcept;

// While alive, the operator new call after `successes` successful ones throws
// std::bad_alloc, and so does every one after it, or, with `once`, that one
// alone. With `markedThreadsOnly` only the allocations of marked threads count.
class NewFault {
public:
    explicit NewFault(std::int64_t successes, bool markedThreadsOnly = false, bool once = false) noexcept;
    ~NewFault();
    NewFault(const NewFault &) = delete;
    NewFault &operator=(const NewFault &) = delete;
    bool fired() const noexcept;
};

}  // namespace vavevard::test
