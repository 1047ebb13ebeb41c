// Condition variables that time their waits on CLOCK_MONOTONIC, so that
// changing the wall clock neither cuts a wait short nor stretches it: the
// gates and the blocking queue sleep on these.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>

namespace vavevar {

// Initialises `cond` on the monotonic clock; false when the system refuses.
bool lumo_monotonic_cond_init(pthread_cond_t *cond) noexcept;

// The monotonic time `timeout_ms` milliseconds from now, for
// pthread_cond_timedwait on such a condition.
timespec lumo_monotonic_deadline(std::int64_t timeout_ms) noexcept;

}  // namespace vavevar
