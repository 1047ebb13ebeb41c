// Subscribers: a registered interest in notifications, the answer to its
// subscription, and the notifications delivered to it until the application
// receives and relinquishes them.
//
// Lifetime: `refs` counts the application's handle plus every library thread
// inside the subscriber (a receive in progress, a callback thread, a creator
// waiting for the daemon's answer). Close marks it closed, leaves the
// registry and stops its queue; the last reference frees it.
#pragma once

#include <atomic>
#include <cstdint>

#include "port/lock.h"
#include "port/queue.h"
#include "vavevar.h"

struct lumo_reply;
struct lumo_streamtable;

namespace vavevar {

class ReplayRecord;

}  // namespace vavevar

struct lumo_subscriber {
    char *subscription;  // owned copies; subscription and mbrInterest may be null
    char *component;
    char *mbrInterest;
    lumo_proplist *properties;  // owned copy or null
    std::int32_t id;
    lumo_publisher *publisher;  // its own, stamping this subscriber's identifier
    std::atomic<std::uint32_t> closed;
    lumo_queue *queue;  // kept until the last reference goes; close only stops it
    // Written under the runtime's lock (where the daemon's answer arrives);
    // read without it to see whether an answer is still to be collected.
    std::atomic<lumo_reply *> pendingReply;
    char *name;
    // Incoming streams by key; touched only by delivery (under the runtime's
    // lock) and by the teardown, after the subscriber has left the registry.
    lumo_streamtable *streams;
    // The list this subscriber belongs to. Set and cleared under that list's
    // lock, which also guards the two links; read by delivery without it.
    std::atomic<lumo_subscriberlist *> list;
    lumo_subscriber *listNext;
    lumo_subscriber *listPrevious;
    std::uint32_t deltas;
    lumo_notification *heldHead LUMO_GUARDED_BY(lock);  // linked through their `held`
    lumo_notification *heldTail LUMO_GUARDED_BY(lock);
    std::int32_t heldCount LUMO_GUARDED_BY(lock);
    std::int32_t refs LUMO_GUARDED_BY(lock);
    vavevar::Lock *lock;
    lumo_subscriber_callback callback LUMO_GUARDED_BY(lock);
    void *callbackContext LUMO_GUARDED_BY(lock);
    std::int32_t callbackMode LUMO_GUARDED_BY(lock);
    // The registration's number while a callback is registered, else 0; polled
    // by the callback threads.
    std::atomic<std::int32_t> callbackRegistered;

    // Flow control. The bound on what was delivered and not yet taken: set
    // by the application, read by delivery without a lock.
    std::atomic<std::int64_t> maxMessages;
    std::atomic<std::int64_t> maxBytes;
    // What is delivered and not yet taken: raised by delivery, lowered by
    // whichever thread takes a notification off the queue.
    std::atomic<std::int64_t> queuedMessages;
    std::atomic<std::int64_t> queuedBytes;
    std::atomic<std::uint64_t> received;
    std::atomic<std::uint64_t> dropped;
    std::atomic<std::uint64_t> droppedByDaemon;
    std::atomic<std::uint64_t> duplicates;
    // Recent events delivered, to recognise a replay of one; touched only by
    // delivery (under the runtime's lock) and by the teardown. Made on the
    // first event.
    vavevar::ReplayRecord *replay;
    // Flow events not yet told to the application's handler, and the
    // subscriber's place in the dispatcher's list (guarded by its lock).
    std::atomic<std::uint64_t> flowDropped;
    std::atomic<std::uint64_t> flowGap;
    lumo_subscriber *flowNext;
    bool flowListed;
};

namespace vavevar {

// Creation behind all four exported forms. With `wait`, waits for the
// daemon's answer (at most `timeoutMs` when above 0). *status (when given)
// receives NULL or a malloc'd text: the daemon's message or "timedout".
// Null when the library is not started, memory runs out, or the
// subscription was refused or not answered in time. REQUIRES: component is
// not null (the subscriber's own publisher needs it).
struct SubscriberOptions {
    bool deltas = false;            // membership deltas wanted
    bool wait = true;               // wait for the daemon's answer
    std::int32_t timeoutMs = -1;    // how long, when above 0
    char **status = nullptr;        // receives the answer's text (or "timedout")
};
lumo_subscriber *lumo_subscriber_new(const char *subscription, const char *component,
                                     const char *mbrInterest, const lumo_proplist *properties,
                                     const SubscriberOptions &options) noexcept;

// 0 accepted or nothing to report, 1 still pending, 2 refused.
// REQUIRES: subscriber is not null.
std::int32_t lumo_subscriber_status(lumo_subscriber *subscriber, char **status) noexcept;

// Close with an unsubscribe request (when still registered) / without one.
// REQUIRES: subscriber is not null.
void lumo_subscriber_close(lumo_subscriber *subscriber) noexcept;
void lumo_subscriber_release(lumo_subscriber *subscriber) noexcept;

// Drops one reference; the last one frees the subscriber.
void lumo_subscriber_unref(lumo_subscriber *subscriber) noexcept;

// Receiver side, under the runtime's lock: the daemon's answer (the message
// is taken over), and a fresh subscribe request after a reconnection (true
// when it was queued).
void lumo_subscriber_reply(lumo_subscriber *subscriber, std::int32_t result, char *message) noexcept;
bool lumo_subscriber_resubscribe(lumo_subscriber *subscriber) noexcept;

// The flow-control counters, and new bounds (a value below 1 keeps that
// bound). REQUIRES: subscriber is not null, nor is `out`.
void lumo_subscriber_counters_get(lumo_subscriber *subscriber, lumo_subscriber_counters *out) noexcept;
void lumo_subscriber_limits_set(lumo_subscriber *subscriber, std::int64_t maxMessages,
                                std::int64_t maxBytes) noexcept;

// REQUIRES: subscriber is not null (setName takes a null name: it clears).
const char *lumo_subscriber_getName(lumo_subscriber *subscriber) noexcept;
void lumo_subscriber_setName(lumo_subscriber *subscriber, const char *name) noexcept;

// Delivery, receive and callbacks (delivery.cpp).

// A mode-1 callback thread that a delivery decided on, to be started once
// the runtime's lock is released: creating a thread is slow, and every
// registry call of the application waits for that lock meanwhile. The thread
// runs the turns of the callback pool (callback_pool.h).
struct PendingCallback {
    bool startThread = false;
};

// Receiver side, under the runtime's lock; takes the notification over and
// queues it, or drops and counts it past the subscriber's bound. When a
// mode-1 callback needs a new thread for it, that is put in `*later` (when
// given) for lumo_subscriber_start_callback, else started here.
// A replayed event (`replayed`) that the subscriber already had is dropped
// and counted as a duplicate.
void lumo_subscriber_deliver(lumo_subscriber *subscriber, lumo_notification *n,
                             PendingCallback *later = nullptr, bool replayed = false) noexcept;

// Receiver side, under the runtime's lock: the daemon skipped `count`
// notifications for the subscriber. Counted and told; the input streams it
// was assembling are ended, since blocks of them may be missing.
void lumo_subscriber_gap(lumo_subscriber *subscriber, std::uint64_t count) noexcept;
// Starts what a delivery left in `later` (nothing when it left nothing);
// without the runtime's lock.
void lumo_subscriber_start_callback(const PendingCallback &later) noexcept;

// The exported operations; contracts in the public header. REQUIRES: the
// subscriber is not null, nor are the notification given back and the
// callback registered. Relinquish takes a null subscriber: the notification
// is destroyed all the same.
lumo_notification *lumo_subscriber_receive(lumo_subscriber *subscriber, std::int32_t wait,
                                           std::int32_t timeoutMs) noexcept;
void lumo_subscriber_relinquish(lumo_subscriber *subscriber, lumo_notification *n) noexcept;
std::int32_t lumo_subscriber_registercallback(lumo_subscriber *subscriber,
                                              lumo_subscriber_callback callback, void *context,
                                              std::int32_t mode) noexcept;
std::int32_t lumo_subscriber_cancelcallback(lumo_subscriber *subscriber) noexcept;

// Takes a reference for a library thread about to use the subscriber; false
// (and none taken) when it is already closed.
bool lumo_subscriber_ref(lumo_subscriber *subscriber) noexcept;

// The held list: notifications handed to the application and not yet given
// back. Remove is false for a notification this subscriber does not hold.
void lumo_held_append(lumo_subscriber *subscriber, lumo_notification *n) noexcept
    LUMO_REQUIRES(subscriber->lock);
bool lumo_held_remove(lumo_subscriber *subscriber, lumo_notification *n) noexcept
    LUMO_REQUIRES(subscriber->lock);

}  // namespace vavevar
