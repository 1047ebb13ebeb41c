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

// Runs `attempt` with the first, second, ... allocation failing until it
// returns true; returns how many failure points were tried (the leak checker
// catches partial results left behind on a failure path).
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
