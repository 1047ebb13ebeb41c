#include "pubsub/subscriber_list.h"

#include "port/cond.h"
#include "port/cond_alloc.h"
#include "port/memory.h"
#include "port/queue.h"
#include "pubsub/subscriber.h"

namespace vavevar {
namespace {

void free_list(lumo_subscriberlist *list) {
    lumo_cond_free(list->condition);
    lumo_lock_destroy(list->lock);
    lumo_free(list);
}

// Once this holds nobody can reach the list any more: the application gave up
// its handle, no member points at it and no waiter sleeps in it.
bool finished(const lumo_subscriberlist *list) LUMO_REQUIRES(list->lock) {
    return list->destroyed != 0 && list->count == 0 && list->waiters == 0;
}

void wake_waiters(lumo_subscriberlist *list) LUMO_REQUIRES(list->lock) {
    if (list->waiters > 0) vavevar::lumox_win32_cond_broadcast(list->condition);
}

void link_tail(lumo_subscriberlist *list, lumo_subscriber *s) LUMO_REQUIRES(list->lock) {
    s->listNext = nullptr;
    s->listPrevious = list->tail;
    (list->tail != nullptr ? list->tail->listNext : list->head) = s;
    list->tail = s;
    list->count += 1;
}

// Unlinks a member; the last member out of a list that nobody waits on any
// more wakes the waiters, so that they return null (and the last one of a
// destroyed list frees it).
void unlink(lumo_subscriberlist *list, lumo_subscriber *s) LUMO_REQUIRES(list->lock) {
    (s->listPrevious != nullptr ? s->listPrevious->listNext : list->head) = s->listNext;
    (s->listNext != nullptr ? s->listNext->listPrevious : list->tail) = s->listPrevious;
    s->listNext = s->listPrevious = nullptr;
    s->list.store(nullptr);
    list->count -= 1;
    // A closed member must never be handed out.
    if (list->ready == s) list->ready = nullptr;
    if (list->count == 0) wake_waiters(list);
}

void mark_ready(lumo_subscriberlist *list, lumo_subscriber *s) LUMO_REQUIRES(list->lock) {
    if (list->ready != nullptr) return;  // the earlier one goes first
    list->ready = s;
    wake_waiters(list);
}

lumo_subscriber *take_ready(lumo_subscriberlist *list) LUMO_REQUIRES(list->lock) {
    lumo_subscriber *s = list->ready;
    list->ready = nullptr;
    return s;
}

// The counts are read without the queues' locks and may be stale.
lumo_subscriber *first_with_waiting(lumo_subscriberlist *list) LUMO_REQUIRES(list->lock) {
    for (lumo_subscriber *s = list->head; s != nullptr; s = s->listNext)
        if (lumo_queue_count(s->queue) > 0) return s;
    return nullptr;
}

}  // namespace

lumo_subscriberlist *lumo_subscriberlist_create() noexcept LUMO_NO_THREAD_SAFETY_ANALYSIS {
    auto *list = static_cast<lumo_subscriberlist *>(lumo_malloc(sizeof(lumo_subscriberlist)));
    if (list == nullptr) return nullptr;
    *list = lumo_subscriberlist{};
    list->lock = lumo_lock_create();
    list->condition = lumo_cond_create();
    if (list->lock == nullptr || list->condition == nullptr) {
        free_list(list);
        return nullptr;
    }
    return list;
}

void lumo_subscriberlist_add(lumo_subscriberlist *list, lumo_subscriber *s) noexcept {
    LockGuard guard(list->lock);
    if (list->destroyed != 0) return;
    // Claimed before `closed` is looked at, while close sets `closed` before
    // it looks at `list`: a close running meanwhile either sees the claim and
    // leaves (waiting for this lock), or this sees `closed` and backs out.
    lumo_subscriberlist *none = nullptr;
    if (!s->list.compare_exchange_strong(none, list)) return;
    if (s->closed.load() != 0) {
        s->list.store(nullptr);
        return;
    }
    link_tail(list, s);
    if (lumo_queue_count(s->queue) > 0) mark_ready(list, s);
}

void lumo_subscriberlist_destroy(lumo_subscriberlist **handle) noexcept {
    lumo_subscriberlist *list = *handle;
    *handle = nullptr;
    bool release;
    {
        LockGuard guard(list->lock);
        list->destroyed = 1;
        wake_waiters(list);
        release = finished(list);
    }
    if (release) free_list(list);
}

lumo_subscriber *lumo_subscriber_multirecv(lumo_subscriberlist *list, std::int32_t wait,
                                           std::int32_t timeoutMs) noexcept {
    lumo_subscriber *found = nullptr;
    bool release = false;
    {
        LockGuard guard(list->lock);
        if (list->ready != nullptr) return take_ready(list);
        if (list->count <= 0) return nullptr;
        found = first_with_waiting(list);
        if (found != nullptr || wait == 0 || list->destroyed != 0) return found;
        list->waiters += 1;
        if (timeoutMs > 0)
            vavevar::lumox_win32_cond_timedwait(list->condition, list->lock->native(),
                                                static_cast<std::uint32_t>(timeoutMs));
        else
            vavevar::lumox_win32_cond_wait(list->condition, list->lock->native());
        list->waiters -= 1;
        found = take_ready(list);
        release = finished(list);
    }
    if (release) free_list(list);
    return found;
}

void lumo_subscriberlist_notify(lumo_subscriberlist *list, lumo_subscriber *s) noexcept {
    bool release = false;
    {
        LockGuard guard(list->lock);
        if (s->list.load() != list) return;
        if (list->destroyed != 0) {
            unlink(list, s);
            release = finished(list);
        } else {
            mark_ready(list, s);
        }
    }
    if (release) free_list(list);
}

void lumo_subscriberlist_leave(lumo_subscriberlist *list, lumo_subscriber *s) noexcept {
    bool release;
    {
        LockGuard guard(list->lock);
        if (s->list.load() != list) return;
        unlink(list, s);
        release = finished(list);
    }
    if (release) free_list(list);
}

}  // namespace vavevar
