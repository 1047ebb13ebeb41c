// The threads that run mode-1 callbacks. Mode 1 promises a thread per
// notification; under a flood that would be a thread per notification at
// once, so at most a bounded number run at a time, process-wide
// (VAVEVAR_CALLBACK_THREADS, default 64). A notification waits its turn in
// its subscriber's delivery queue (counted against that subscriber's bound);
// each delivery leaves a turn in one process-wide FIFO, and a thread that
// finishes a callback takes the next turn instead of ending, so every
// notification gets its callback, in delivery order per subscriber. An idle
// thread lingers a moment for the next turn before it ends.
#pragma once

#include <cstdint>

#include "pubsub/subscriber.h"

namespace vavevar {

// A turn: run the callback of registration `generation` on the head of the
// subscriber's queue. Takes over the caller's reference to the subscriber
// and queues the turn. True when a new thread must be started for the turns
// (lumo_callback_pool_start, without the runtime's lock). When memory runs
// out nothing is queued, the reference is given back and `*failed` is set.
bool lumo_callback_pool_submit(lumo_subscriber *subscriber, std::int32_t generation,
                               bool *failed) noexcept;

// Starts the thread that submit asked for. When the system refuses it, the
// turns stay queued for the running threads or the next one started.
void lumo_callback_pool_start() noexcept;

// Lets idle threads end now rather than after their linger (at shutdown).
void lumo_callback_pool_release_idle() noexcept;

// Threads started and not yet ending; for tests.
std::int32_t lumo_callback_pool_threads() noexcept;

// Runs one turn: the callback of `generation` on the head of the subscriber's
// queue, when that registration still serves (delivery.cpp).
void lumo_subscriber_run_turn(lumo_subscriber *subscriber, std::int32_t generation) noexcept;

}  // namespace vavevar
