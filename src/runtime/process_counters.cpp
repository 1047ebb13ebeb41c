#include "runtime/process_counters.h"

#include <atomic>

#include "runtime/flow_observer.h"
#include "runtime/link.h"
#include "runtime/send_budget.h"
#include "vavevar.h"

namespace vavevar {
namespace {

// Relaxed: each is a tally on its own, read as a snapshot that may be a
// moment old.
std::atomic<std::uint64_t> g_published{0};
std::atomic<std::uint64_t> g_dropped_at_send{0};
std::atomic<std::uint64_t> g_handshakes{0};

}  // namespace

void lumo_counters_reset() noexcept {
    g_published.store(0, std::memory_order_relaxed);
    g_dropped_at_send.store(0, std::memory_order_relaxed);
    g_handshakes.store(0, std::memory_order_relaxed);
}

void lumo_counters_count_published() noexcept { g_published.fetch_add(1, std::memory_order_relaxed); }

void lumo_counters_count_dropped_at_send() noexcept {
    g_dropped_at_send.fetch_add(1, std::memory_order_relaxed);
    flow_observe(LUMO_FLOW_SEND_DROPPED, 1);
}

std::uint64_t lumo_counters_count_handshake() noexcept {
    return g_handshakes.fetch_add(1, std::memory_order_relaxed) + 1;
}

ProcessCounters lumo_counters_read() noexcept {
    const std::uint64_t handshakes = g_handshakes.load(std::memory_order_relaxed);
    return ProcessCounters{
        g_published.load(std::memory_order_relaxed),
        g_dropped_at_send.load(std::memory_order_relaxed),
        handshakes > 0 ? handshakes - 1 : 0,
        lumo_send_budget_used(),
        lumo_link_is_up() ? 1 : 0,
    };
}

}  // namespace vavevar
