// Fits the daemon's bounds to what the process may use: the bounds an
// operator does not give are worked out from the descriptor and address-space
// limits, so that the daemon refuses work cleanly before the system refuses
// it a descriptor or memory.
#pragma once

#include "options.h"

namespace vavevard {

// Raises the soft descriptor limit to the hard one, then fills in
// `o.limits.maxClients` and `o.limits.maxTotalBytes` where the options did not
// give them, and logs the figures (warning when a given bound is beyond what
// the process may use).
void fit_to_system(Options &o) noexcept;

}  // namespace vavevard
