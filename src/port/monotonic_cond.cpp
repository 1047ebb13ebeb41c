#include "port/monotonic_cond.h"

namespace vavevar {

bool lumo_monotonic_cond_init(pthread_cond_t *cond) noexcept {
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0) return false;
    bool ok = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
              pthread_cond_init(cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    return ok;
}

timespec lumo_monotonic_deadline(std::int64_t timeout_ms) noexcept {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::int64_t nanos = now.tv_nsec + (timeout_ms % 1000) * 1000000;
    now.tv_sec += static_cast<time_t>(timeout_ms / 1000 + nanos / 1000000000);
    now.tv_nsec = static_cast<long>(nanos % 1000000000);
    return now;
}

}  // namespace vavevar
