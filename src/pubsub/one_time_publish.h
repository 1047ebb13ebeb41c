// Publishing one notification without managing the library's lifetime.
#pragma once

#include <cstdint>

#include "vavevar.h"

namespace vavevar {

// Starts the library when this process has not (or joins it), publishes `n`
// through a short-lived publisher and ends that start again with a draining
// stop. 0 when `n` was handed over; -1 otherwise, `n` then staying the
// caller's.
std::int32_t lumo_one_time_publish(const char *component, lumo_notification *n) noexcept;

}  // namespace vavevar
