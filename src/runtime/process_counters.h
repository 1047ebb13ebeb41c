// The process's send-side counters: what was published, what was dropped at
// publish, and how often the link came up. They count from the start of the
// runtime (a later start begins again at zero) and are read without a lock.
#pragma once

#include <cstdint>

namespace vavevar {

struct ProcessCounters {
    std::uint64_t published;        // events handed to the sender
    std::uint64_t dropped_at_send;  // of those, destroyed unqueued
    std::uint64_t reconnects;       // handshakes after the first
    std::uint64_t send_queue_bytes; // held by the send queue now
    std::int32_t link_up;           // 1 while the link is past its handshake
};

// Start-up, before the threads run.
void lumo_counters_reset() noexcept;

void lumo_counters_count_published() noexcept;
// Also reports the drop to the flow observer.
void lumo_counters_count_dropped_at_send() noexcept;
// Returns the handshakes counted so far, this one included.
std::uint64_t lumo_counters_count_handshake() noexcept;

ProcessCounters lumo_counters_read() noexcept;

}  // namespace vavevar
