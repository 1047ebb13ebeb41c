// What a re-read configuration changes in a running daemon: the log level and
// the log file take effect at once; everything else waits for a restart.
#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace vavevard {

// The settings (as their option names without "--") that differ between the
// running options and the fresh ones and cannot change at run time.
std::vector<std::string> needing_restart(const Options &running, const Options &fresh);

}  // namespace vavevard
