// Sleeping and starting threads.
#pragma once

#include <cstdint>

namespace vavevar {

// Sleeps for `ms` milliseconds (signals do not cut it short); 0 only yields
// the processor to another ready thread.
void lumo_sleep(std::uint32_t ms) noexcept;

// The value lumo_thread_start returns when no thread was started.
inline constexpr std::uintptr_t kThreadStartFailed = ~std::uintptr_t{0};

// Starts a detached thread with the system's default stack size that runs
// routine(arg) and ends. Returns an identifier of the thread (for diagnostics
// only; it cannot be joined), or kThreadStartFailed when memory runs out or
// the system refuses the thread, in which case routine never runs.
std::uintptr_t lumo_thread_start(void (*routine)(void *), void *arg) noexcept;

}  // namespace vavevar
