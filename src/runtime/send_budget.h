// The bound on what the send queue holds, in bytes. A publisher takes room
// for an event before queuing it and the sender gives the room back when it
// releases the event (written, or abandoned at a stop), so that an event
// counts from its publish to its release whether it waits in the queue, sits
// in a batch being written, or was put back after a failed write: a put-back
// takes no room of its own and can never be refused for want of it.
//
// Subscription requests take no room: they are small, few, and the registry
// depends on every one of them going out.
#pragma once

#include <cstdint>

namespace vavevar {

// The defaults, overridden at start-up by VAVEVAR_SEND_MAX_BYTES and
// VAVEVAR_SEND_WAIT_MS.
inline constexpr std::uint64_t kSendMaxBytesDefault = std::uint64_t{64} << 20;
inline constexpr std::uint32_t kSendWaitMsDefault = 2000;
// A wait above this is taken as this: a publish must return in bounded time.
inline constexpr std::uint32_t kSendWaitMsMax = 60000;

// Makes the lock and condition, once per process: they outlive every runtime,
// since a publisher may still be leaving a wait while the library stops.
// Returns false when the system refuses them.
bool lumo_send_budget_prepare() noexcept;

// Start-up, before the sender runs: the bound (0 is taken as 1) and how long
// a publisher waits for room (0: not at all).
void lumo_send_budget_configure(std::uint64_t max_bytes, std::uint32_t wait_ms) noexcept;
std::uint64_t lumo_send_budget_limit() noexcept;
std::uint32_t lumo_send_budget_wait_ms() noexcept;

// The sender at its start: waits for room are allowed again.
void lumo_send_budget_open() noexcept;

// A stop: every publisher waiting for room leaves at once, and none waits
// until the next open (room that is there is still taken: the queue refuses).
void lumo_send_budget_close() noexcept;

enum class Room { taken, full, closed };

// Takes `bytes` of room: at once when it is there, or when nothing is held at
// all (an event larger than the whole bound goes alone), else after waiting
// up to the configured time for releases to make it. Holds no lock that a
// releaser or another publisher needs while it waits.
Room lumo_send_budget_take(std::uint64_t bytes) noexcept;

// Gives room back and wakes the publishers waiting for it.
void lumo_send_budget_give_back(std::uint64_t bytes) noexcept;

// Bytes held now.
std::uint64_t lumo_send_budget_used() noexcept;

}  // namespace vavevar
