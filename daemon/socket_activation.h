// Listening sockets handed over by the service manager: LISTEN_FDS of them
// from descriptor 3 on, meant for this process when LISTEN_PID is its id.
#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace vavevard {

// The descriptors passed, empty when none were (or they were meant for
// another process). False with `error` set when the variables are malformed
// or a descriptor is not a listening stream socket.
bool inherited_listeners(const GetEnv &getenv, long pid, std::vector<int> &fds, std::string &error);

}  // namespace vavevard
