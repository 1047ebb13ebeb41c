// The threads that run mode-1 callbacks. Mode 1 promises a thread per
// notification; under a flood that would be a thread per notification at
// once, so at most a bounded number run at a time, process-wide
// (VAVEVAR_CALLBACK_THREADS, default 64). A notification waits its turn in
// its subscriber's delivery queue (counted against that subscriber's bound);
// each delivery leaves a turn in one process-wide FIFO, and a thread that
// finishes a callback takes the next turn instead of ending, so every
// notification gets its callback, in delivery order per subscriber.
#pragma once

#include <cstdint>

#include "pubsub/subscriber.h"

namespace vavevar {

// A turn: run the callback of registration `generation` on the head of the
// subscriber's queue. Takes over the caller's reference to the subscriber.
// Returns true when a new thread must be started for it
// (lumo_callback_pool_start, without the runtime's lock); false when it was
// queued behind the running ones. False with the reference given back and
// nothing queued when memory runs out (`*failed` set).
bool lumo_callback_pool_submit(lumo_subscriber *subscriber, std::int32_t generation,
                               bool *failed) noexcept;

// Starts a thread for a turn that submit said needs one; when the thread
// cannot be had the turn is given back (its notification stays queued for
// the subscriber's next turn or a receive).
void lumo_callback_pool_start(lumo_subscriber *subscriber, std::int32_t generation) noexcept;

// Threads running callbacks (or about to); for tests.
std::int32_t lumo_callback_pool_running() noexcept;

// Runs one turn: the callback of `generation` on the head of the subscriber's
// queue, when that registration still serves (delivery.cpp).
void lumo_subscriber_run_turn(lumo_subscriber *subscriber, std::int32_t generation) noexcept;

}  // namespace vavevar
