// The port the daemon listens on and clients look for when nothing says
// otherwise, so that a daemon and a tool started with no setting at all meet.
// Chosen clear of the ports /etc/services names.
#pragma once

#include <cstdint>

namespace vavevar::wire {

inline constexpr std::uint16_t kDefaultDaemonPort = 17077;

}  // namespace vavevar::wire
