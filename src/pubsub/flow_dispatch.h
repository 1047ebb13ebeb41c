// Tells the application's flow handler what happened: drops and gaps per
// subscriber, and the runtime's link and send events. Reporters only record
// a count and wake one small dispatcher thread (started when a handler is
// first set, stopped at shutdown), which calls the handler with no library
// lock held. Memory is fixed: a pending count per kind and subscriber, and
// a list of the subscribers with something pending (linked through them,
// each holding a reference while listed), never a list of events.
#pragma once

#include <cstdint>

#include "vavevar.h"

namespace vavevar {

// A subscriber's drops or gap (LUMO_FLOW_DROPPED, LUMO_FLOW_GAP). Any
// thread; may hold the runtime's lock but not the subscriber's. Nothing is
// kept while no handler is set.
void lumo_flow_note(std::int32_t kind, lumo_subscriber *subscriber, std::uint64_t count) noexcept;

// The runtime's observer (link down and up, send drops); installed by the
// registry.
void lumo_flow_observe(std::int32_t kind, std::uint64_t count) noexcept;

// Replaces the handler (null removes it). Returns once the handler it
// replaced is not running, unless called from inside it. 0, or -1 when the
// dispatcher thread cannot be started.
std::int32_t lumo_flow_set_handler(lumo_flow_handler handler, void *context) noexcept;

// At shutdown: removes the handler, waits for a call in progress (unless
// called from inside the handler) and ends the dispatcher; what was pending
// is dropped.
void lumo_flow_stop() noexcept;

}  // namespace vavevar
