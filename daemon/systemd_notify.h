// Telling the service manager how the daemon is doing: a datagram of
// "NAME=value" lines to the AF_UNIX socket NOTIFY_SOCKET names (abstract when
// it starts with '@'), and the watchdog interval it asks for.
#pragma once

#include <cstdint>
#include <string_view>

#include "options.h"

namespace vavevard {

// Sends `state` ("READY=1", "STOPPING=1", "WATCHDOG=1", ...). False when
// NOTIFY_SOCKET is unset or the datagram could not be sent; the daemon runs
// the same either way.
bool notify_service_manager(const GetEnv &getenv, std::string_view state) noexcept;

// How often to send WATCHDOG=1: half of WATCHDOG_USEC, in milliseconds, when
// that is set and WATCHDOG_PID is unset or this process; 0 otherwise.
std::int64_t watchdog_ping_ms(const GetEnv &getenv, long pid) noexcept;

}  // namespace vavevard
