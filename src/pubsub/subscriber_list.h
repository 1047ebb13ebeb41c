// Subscriber lists: one thread waits for the first of several subscribers to
// have something to receive. The list holds no notifications; delivery marks
// the delivering member ready and wakes the waiters.
//
// Lifetime: destroying a list only marks it. It is freed by whoever makes it
// both memberless and waiterless once it is marked: the member that leaves
// last (by close, or by its next delivery) or the waiter that wakes last.
//
// Lock order: the runtime's lock (held by delivery) -> a list's lock -> the
// internal lock of the list's condition. The list's lock is never held while
// a subscriber's own lock, a queue's lock or the runtime's lock is taken (a
// member's queue is only counted, which takes no lock), and a subscriber's
// own lock is never held while a list's lock is taken. Close calls leave with
// no lock held, after the subscriber has left the registry.
#pragma once

#include <cstdint>

#include "port/lock.h"
#include "vavevar.h"

struct lumo_subscriberlist {
    // Members in the order of adding, linked through their listNext and
    // listPrevious, which this lock guards as well.
    lumo_subscriber *head LUMO_GUARDED_BY(lock);
    lumo_subscriber *tail LUMO_GUARDED_BY(lock);
    std::int32_t count LUMO_GUARDED_BY(lock);
    vavevar::Lock *lock;
    lumox_win32_cond_t *condition;  // multirecv sleeps here, with `lock`
    std::int32_t waiters LUMO_GUARDED_BY(lock);
    std::uint32_t destroyed LUMO_GUARDED_BY(lock);
    // A member delivered to since the last multirecv returned.
    lumo_subscriber *ready LUMO_GUARDED_BY(lock);
};

namespace vavevar {

// A new empty list, or null when memory runs out.
lumo_subscriberlist *lumo_subscriberlist_create() noexcept;

// Appends `subscriber`. Ignored for a destroyed list, a closed subscriber,
// and a subscriber that already belongs to a list (this one or another): a
// subscriber is a member of one list at most. REQUIRES: neither is null.
void lumo_subscriberlist_add(lumo_subscriberlist *list, lumo_subscriber *subscriber) noexcept;

// Marks the list destroyed, clears the caller's handle and wakes the waiters.
// REQUIRES: handle and *handle are not null.
void lumo_subscriberlist_destroy(lumo_subscriberlist **handle) noexcept;

// A member with something to receive, or null; see the public header.
// REQUIRES: list is not null.
lumo_subscriber *lumo_subscriber_multirecv(lumo_subscriberlist *list, std::int32_t wait,
                                           std::int32_t timeoutMs) noexcept;

// Delivery to `subscriber` happened (receiver thread, runtime lock held).
void lumo_subscriberlist_notify(lumo_subscriberlist *list, lumo_subscriber *subscriber) noexcept;

// `subscriber` is being closed and leaves the list.
void lumo_subscriberlist_leave(lumo_subscriberlist *list, lumo_subscriber *subscriber) noexcept;

}  // namespace vavevar
