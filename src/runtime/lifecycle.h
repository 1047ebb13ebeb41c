// Start and stop of the library: configuration, the runtime state and the
// receiver and sender threads, counted per process and serialised across
// processes by the machine-wide mutex.
#pragma once

#include <cstdint>

#include "runtime/sender.h"

namespace vavevar {

// Results of lumo_runtime_start.
inline constexpr std::int32_t kInitOk = 0;
inline constexpr std::int32_t kInitNoConfig = -1;
inline constexpr std::int32_t kInitNoResources = -2;
inline constexpr std::int32_t kInitAlready = -3;

// `home` null: from the environment; `port` 0 (in its low 16 bits): from the
// environment. Returns one of the results above.
std::int32_t lumo_runtime_start(const char *home, std::int32_t port) noexcept;

// Lowers the count; the last stop ends both threads and releases everything.
// With `wait`, queued messages are written first (within a grace period).
// Returns within kStopBoundMs whatever the daemon does, once it holds the
// machine-wide mutex.
void lumo_runtime_stop(std::int32_t wait) noexcept;

// The bound of a stop: the sender's grace period, the longest it is waited
// for, and the slack for both threads to end and be joined on a loaded
// machine once the stop has cut their waits short (the receiver's at once,
// by the link's broadcast and a shut-down socket). The public header
// promises this for lumo_shutdown and lumo_shutdown_nowait.
inline constexpr std::uint32_t kStopSlackMs = 2000;
inline constexpr std::uint32_t kStopBoundMs = kSenderGraceMs + kStopSlackMs;

// Tests only: the directory of the start-up mutex's file, so that test
// processes running side by side do not wait on each other's start and stop.
// Null restores the user's own. Call before the first start.
void lumo_runtime_set_global_mutex_dir(const char *dir) noexcept;

// A new copy of the instance name once the link is up (waiting up to 10 s
// for it), else null.
char *lumo_runtime_instance_name_copy() noexcept;

}  // namespace vavevar
