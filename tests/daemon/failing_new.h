// Failure injection and counting for operator new, the seam of the daemon's
// allocations (it uses the standard containers, not the library's allocator).
// A test program that includes this links failing_new.cpp, which replaces the
// global allocation functions.
#pragma once

#include <cstdint>

namespace vavevard::test {

// False under the thread sanitizer, whose runtime keeps the allocation
// functions to itself: tests that need the seam skip there.
bool new_seam_available() noexcept;

// Calls of operator new so far, and the bytes they asked for, on every thread.
std::uint64_t new_calls() noexcept;
std::uint64_t new_bytes() noexcept;

// Makes the calling thread one whose allocations a fault scoped to marked
// threads counts and fails (the thread of a server under test, say).
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
    // Whether an allocation has been failed.
    bool fired() const noexcept;
};

// Runs `attempt` with the first, second, third ... allocation failing until
// it succeeds, and `check(succeeded)` after each try with the fault lifted (so
// that the check may allocate). `attempt` catches std::bad_alloc and returns
// false for it. Returns how many failure points were tried, or -1 when none
// of `limit` let the attempt succeed.
template <typename Attempt, typename Check>
int for_each_new_failure(Attempt attempt, Check check, int limit = 10000) {
    for (int k = 0; k < limit; ++k) {
        bool ok;
        {
            NewFault fault(k);
            ok = attempt();
        }
        check(ok);
        if (ok) return k;
    }
    return -1;
}

}  // namespace vavevard::test
