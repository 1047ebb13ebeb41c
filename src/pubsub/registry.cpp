#include "pubsub/registry.h"

#include <cstring>

#include "notification/notification.h"
#include "port/memory.h"
#include "pubsub/callback_pool.h"
#include "pubsub/flow_dispatch.h"
#include "pubsub/flow_limits.h"
#include "pubsub/publisher.h"
#include "pubsub/subscriber.h"
#include "runtime/flow_observer.h"
#include "runtime/inbound_sink.h"
#include "runtime/lifecycle.h"
#include "runtime/runtime_state.h"
#include "runtime/sender.h"

namespace vavevar {
namespace {

constexpr char kLeaveGroupType[] = "IXO/SYSTEM/LEAVEGROUP";

// Appends `entry` to a slot table that grows by kRegistryStep; returns the
// slot used, or -1 when the table could not grow (it is then unchanged).
template <typename T>
std::int32_t append(T **&table, std::uint32_t &capacity, std::int32_t &count, T *entry) {
    if (static_cast<std::uint32_t>(count) == capacity) {
        if (capacity > INT32_MAX - kRegistryStep) return -1;
        auto *grown = static_cast<T **>(lumo_malloc((capacity + kRegistryStep) * sizeof(T *)));
        if (grown == nullptr) return -1;
        std::memcpy(grown, table, capacity * sizeof(T *));
        std::memset(grown + capacity, 0, kRegistryStep * sizeof(T *));
        lumo_free(table);
        table = grown;
        capacity += kRegistryStep;
    }
    table[count] = entry;
    return count++;
}

lumo_subscriber *subscriber_of(lumo_runtime *rt, std::int32_t id) LUMO_REQUIRES(rt->lock) {
    if (id < 1 || id > rt->subscriber_count) return nullptr;
    return rt->subscribers[id - 1];
}

}  // namespace

std::int32_t lumo_registry_add_subscriber(lumo_subscriber *subscriber) noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr || subscriber == nullptr) return -1;
    LockGuard guard(rt->lock);
    std::int32_t slot =
        append(rt->subscribers, rt->subscriber_capacity, rt->subscriber_count, subscriber);
    return slot < 0 ? -1 : slot + 1;
}

void lumo_registry_remove_subscriber(lumo_subscriber *subscriber, std::int32_t id) noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr || subscriber == nullptr) return;
    LockGuard guard(rt->lock);
    if (subscriber_of(rt, id) == subscriber) rt->subscribers[id - 1] = nullptr;
}

bool lumo_registry_has_subscriber(lumo_subscriber *subscriber, std::int32_t id) noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr || subscriber == nullptr) return false;
    LockGuard guard(rt->lock);
    return subscriber_of(rt, id) == subscriber;
}

std::int32_t lumo_registry_add_publisher(lumo_publisher *publisher) noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr || publisher == nullptr) return 0;
    LockGuard guard(rt->lock);
    return append(rt->publishers, rt->publisher_capacity, rt->publisher_count, publisher);
}

void lumo_registry_remove_publisher(lumo_publisher *publisher, std::int32_t index) noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr || publisher == nullptr) return;
    LockGuard guard(rt->lock);
    if (index >= 0 && index < rt->publisher_count && rt->publishers[index] == publisher)
        rt->publishers[index] = nullptr;
}

namespace {

void deliver(lumo_notification *n, std::int32_t id, bool replayed) noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr || n == nullptr || id < 1) {
        lumo_notification_destroy(n);
        return;
    }
    PendingCallback later;
    {
        LockGuard guard(rt->lock);
        if (lumo_subscriber *subscriber = subscriber_of(rt, id))
            lumo_subscriber_deliver(subscriber, n, &later, replayed);
        else
            lumo_notification_destroy(n);
    }
    lumo_subscriber_start_callback(later);
}

void gap(std::int32_t id, std::uint64_t count) noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr) return;
    LockGuard guard(rt->lock);
    if (lumo_subscriber *subscriber = subscriber_of(rt, id)) lumo_subscriber_gap(subscriber, count);
}

void status(std::int32_t id, std::int32_t success, char *message) noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr) {
        lumo_free(message);
        return;
    }
    LockGuard guard(rt->lock);
    if (lumo_subscriber *subscriber = subscriber_of(rt, id))
        lumo_subscriber_reply(subscriber, success, message);
    else
        lumo_free(message);
}

void link_lost() noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr) return;
    lumo_sender_purge_unsubscribes();
    LockGuard guard(rt->lock);
    for (std::int32_t slot = 0; slot < rt->subscriber_count; ++slot) {
        lumo_subscriber *subscriber = rt->subscribers[slot];
        if (subscriber == nullptr || subscriber->mbrInterest == nullptr) continue;
        // Its group membership ended with the connection: it is dropped and
        // told. An answer still awaited would now never find it, so it is
        // refused here, or its creator would wait for ever.
        lumo_subscriber_reply(subscriber, 0, nullptr);
        rt->subscribers[slot] = nullptr;
        lumo_notification *leave = vavevar::lumo_notification_create(kLeaveGroupType, nullptr, 0);
        if (leave == nullptr) continue;
        lumo_notification_setClass(leave, kLeaveGroupNotification);
        lumo_subscriber_deliver(subscriber, leave);
    }
}

void resubscribe() noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr) return;
    LockGuard guard(rt->lock);
    for (std::int32_t slot = 0; slot < rt->subscriber_count; ++slot) {
        lumo_subscriber *subscriber = rt->subscribers[slot];
        if (subscriber == nullptr || lumo_sender_subscribe_pending(subscriber->id)) continue;
        lumo_subscriber_resubscribe(subscriber);
    }
}

void release_all(lumo_runtime *rt) noexcept LUMO_NO_THREAD_SAFETY_ANALYSIS {
    // The handler hears nothing more once the shutdown returns; the
    // dispatcher lets go of the subscribers it was about to tell of.
    lumo_flow_stop();
    lumo_callback_pool_release_idle();
    // The runtime is no longer current and both threads have ended: nobody
    // else reaches the tables, and release and close leave them alone.
    for (std::int32_t slot = 0; slot < rt->subscriber_count; ++slot)
        if (rt->subscribers[slot] != nullptr) vavevar::lumo_subscriber_release(rt->subscribers[slot]);
    for (std::int32_t slot = 0; slot < rt->publisher_count; ++slot)
        if (rt->publishers[slot] != nullptr) vavevar::lumo_publisher_close(rt->publishers[slot]);
}

const InboundSink kRegistrySink = {deliver, gap, status, link_lost, resubscribe, release_all};

}  // namespace

void lumo_registry_install() noexcept {
    lumo_inbound_install(&kRegistrySink);
    flow_observer_set(lumo_flow_observe);
}

std::int32_t lumo_pubsub_start(const char *home, std::int32_t port) noexcept {
    lumo_registry_install();
    lumo_flow_limits_load();
    return lumo_runtime_start(home, port);
}

}  // namespace vavevar
