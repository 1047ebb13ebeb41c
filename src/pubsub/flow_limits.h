// The process's flow-control settings for receiving, read from the
// environment when the library starts, and what a delivered notification
// counts against a subscriber's byte bound.
#pragma once

#include <cstdint>

#include "vavevar.h"

namespace vavevar {

inline constexpr std::int64_t kDefaultSubMaxMessages = 65536;
inline constexpr std::int64_t kDefaultSubMaxBytes = std::int64_t{64} << 20;
inline constexpr std::int32_t kDefaultCallbackThreads = 64;

struct FlowLimits {
    std::int64_t subMaxMessages = kDefaultSubMaxMessages;
    std::int64_t subMaxBytes = kDefaultSubMaxBytes;
    std::int32_t callbackThreads = kDefaultCallbackThreads;
};

// Reads VAVEVAR_SUB_MAX_MESSAGES, VAVEVAR_SUB_MAX_BYTES and
// VAVEVAR_CALLBACK_THREADS; a variable that is absent, not a whole number or
// below 1 leaves its default.
void lumo_flow_limits_load() noexcept;
FlowLimits lumo_flow_limits() noexcept;

// Roughly the memory the notification holds: its record with texts and
// properties, the stamped texts and a body kept apart.
std::int64_t lumo_notification_charge(const lumo_notification *n) noexcept;

}  // namespace vavevar
