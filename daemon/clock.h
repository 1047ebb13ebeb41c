#pragma once

#include <cstdint>
#include <ctime>

namespace vavevard {

// Wall-clock milliseconds since the epoch: the unit of the time headers that
// clients read.
inline std::int64_t now_ms() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds on a clock that never jumps: for time-outs and rates, which a
// change of the wall clock must not cut short or stretch.
inline std::int64_t mono_ms() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace vavevard
