// Scoped allocation-failure injection through the library's allocator seam.
#pragma once

#include <cstdint>

#include "port/memory.h"

namespace vavevar::test {

// While alive, the allocation after `successes` successful ones fails, and so
// does every one after it.
class AllocFault {
public:
    explicit AllocFault(std::int64_t successes) { lumo_alloc_fault_after(successes); }
    ~AllocFault() { lumo_alloc_fault_clear(); }
    AllocFault(const AllocFault &) = delete;
    AllocFault &operator=(const AllocFault &) = delete;
};

// Runs `attempt` with the first, second, third ... allocation failing until it
// succeeds; returns how many failure points were tried. `attempt` returns true
// on success. The leak checker of the sanitizer build catches partial results
// left behind on any failure path.
template <typename Attempt>
int for_each_allocation_failure(Attempt attempt, int limit = 1000) {
    for (int k = 0; k < limit; ++k) {
        bool ok;
        {
            AllocFault fault(k);
            ok = attempt();
        }
        if (ok) return k;
    }
    return -1;
}

}  // namespace vavevar::test
