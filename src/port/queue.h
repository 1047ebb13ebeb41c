// Blocking queue: the unbounded FIFO of opaque item pointers through which
// the library's threads hand work to each other. Ownership of an item passes
// to the queue on a successful put and back to the caller on a get; a refused
// put leaves it with the caller.
//
// Lifecycle: open -> closing (lumo_queue_close: no more puts, gets go on until
// empty) -> stopped (lumo_queue_stop or _destroy: neither puts nor gets) ->
// freed (lumo_queue_destroy). Every operation treats a null queue as a refusal.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "port/lock.h"
#include "port/thread_annotations.h"

struct lumo_queue_node {
    void *item;
    lumo_queue_node *next;
};

struct lumo_queue {
    // Read once without the lock as a fast refusal, again under it before
    // anything changes; written only under the lock.
    std::atomic<std::uint32_t> closing;
    std::atomic<std::uint32_t> stopped;
    vavevar::Lock *lock;
    // Plain conditions on CLOCK_MONOTONIC rather than the exported emulation:
    // every hand-off between the library's threads crosses one, and a
    // wake-up here costs one futex call instead of three lock round trips.
    pthread_cond_t not_empty;  // getters sleep here while the queue is empty
    pthread_cond_t drained;    // close waits here to drain, stop for the getters to leave
    std::int32_t drain_waiters LUMO_GUARDED_BY(lock);
    std::int32_t get_waiters LUMO_GUARDED_BY(lock);
    // Getters signalled and not yet awake: a put signals only when more
    // getters sleep than are already on their way, so a burst of puts wakes
    // a sleeping getter once instead of once per item.
    std::int32_t wakes_pending LUMO_GUARDED_BY(lock);
    // Closes inside lumo_queue_close: a stop waits for them to leave too, so
    // that a destroy right after it cannot free the queue under one of them.
    std::int32_t close_waiters LUMO_GUARDED_BY(lock);
    std::atomic<std::int32_t> count;  // written under the lock, read by lumo_queue_count without
    lumo_queue_node *head LUMO_GUARDED_BY(lock);
    // The last node while the queue holds two or more; null with one or none.
    lumo_queue_node *tail LUMO_GUARDED_BY(lock);
    // Nodes kept for later puts, so that a steady flow allocates none.
    lumo_queue_node *spare LUMO_GUARDED_BY(lock);
    std::int32_t spare_count LUMO_GUARDED_BY(lock);
    // The one iteration cursor, all null outside an iteration.
    lumo_queue_node *previous LUMO_GUARDED_BY(lock);
    lumo_queue_node *current LUMO_GUARDED_BY(lock);
    lumo_queue_node *next LUMO_GUARDED_BY(lock);
};

namespace vavevar {

// Returns a new open empty queue, or null when memory runs out.
lumo_queue *lumo_queue_create() noexcept;

// Append at the tail (put) or insert at the head (putfront). Return true, or
// false when the queue is closing or stopped or memory runs out. A put wakes at most
// one sleeping getter.
bool lumo_queue_put(lumo_queue *queue, void *item) noexcept;
bool lumo_queue_putfront(lumo_queue *queue, void *item) noexcept;

// Takes the head item. With `wait` 0 it only looks. Otherwise, on an empty
// queue that is neither closing nor stopped, it sleeps: for one wait of
// `timeout_ms` when that is positive, else until an item comes or the queue
// closes or stops. Returns the item, or null when there is none then or the
// queue is stopped. A getter woken by a stop still takes an item that is there.
void *lumo_queue_get(lumo_queue *queue, std::int32_t wait, std::int32_t timeout_ms) noexcept;

// Refuses further puts and returns once getters have emptied the queue.
// Returns true then; false when the queue was already closing or stopped, or
// when a stop cut the wait short with items still queued.
bool lumo_queue_close(lumo_queue *queue) noexcept;

// Refuses further puts and gets, wakes every sleeping getter and returns once
// none is left asleep (a waiting close is let go too). Returns true, or false
// when the queue was stopped already.
bool lumo_queue_stop(lumo_queue *queue) noexcept;

// Stops the queue if needed, then frees it, calling `free_item` (when not
// null) on every item still queued, head first, on this thread without any
// lock. No other thread may use the queue once this begins, except getters
// already asleep in it, which are woken and leave first. Returns true, or
// false for a null queue.
bool lumo_queue_destroy(lumo_queue *queue, void (*free_item)(void *)) noexcept;

// Number of queued items, read without the lock (may be stale); 0 for null.
std::int32_t lumo_queue_count(const lumo_queue *queue) noexcept;

// Iteration under the queue's lock, which is held from a successful iterbegin
// to iterend, so that nothing else changes the queue in between. Only that
// thread may call iternext and iterremove; iterations cannot nest.
//
// iterbegin: returns true and holds the lock with the cursor before the head,
// or false (no lock taken; do not call iterend) for a null or stopped queue.
bool lumo_queue_iterbegin(lumo_queue *queue) noexcept LUMO_TRY_ACQUIRE(true, queue->lock);

// Advances the cursor and returns its item, or null at the end.
void *lumo_queue_iternext(lumo_queue *queue) noexcept LUMO_REQUIRES(queue->lock);

// Unlinks the node under the cursor (the item is not freed; it is the
// caller's again) and returns true; false when nothing is under the cursor
// (before the first iternext, at the end, or right after a removal).
bool lumo_queue_iterremove(lumo_queue *queue) noexcept LUMO_REQUIRES(queue->lock);

// Clears the cursor and releases the lock.
void lumo_queue_iterend(lumo_queue *queue) noexcept LUMO_RELEASE(queue->lock);

}  // namespace vavevar
