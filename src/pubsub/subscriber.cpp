#include "pubsub/subscriber.h"

#include <cstring>
#include <new>

#include "notification/notification.h"
#include "notification/proplist.h"
#include "port/itoa.h"
#include "port/memory.h"
#include "pubsub/flow_limits.h"
#include "pubsub/publisher.h"
#include "pubsub/replay_record.h"
#include "pubsub/reply.h"
#include "pubsub/stream_table.h"
#include "pubsub/subreq.h"
#include "pubsub/subscriber_list.h"
#include "pubsub/registry.h"
#include "runtime/runtime_state.h"
#include "runtime/sender.h"

namespace vavevar {
namespace {

constexpr char kTimedOut[] = "timedout";

void free_held(lumo_subscriber *s) LUMO_NO_THREAD_SAFETY_ANALYSIS {
    for (lumo_notification *n = s->heldHead; n != nullptr;) {
        lumo_notification *next = n->held.next;
        lumo_notification_destroy(n);
        n = next;
    }
    s->heldHead = s->heldTail = nullptr;
    s->heldCount = 0;
}

// Frees what the subscriber owns; its publisher is closed elsewhere (by
// close while the library runs, else by the shutdown).
void free_subscriber(lumo_subscriber *s) {
    lumo_queue_destroy(s->queue, [](void *item) {
        lumo_notification_destroy(static_cast<lumo_notification *>(item));
    });
    free_held(s);
    lumo_streamtable_destroy(&s->streams);
    ReplayRecord::destroy(s->replay);
    lumo_reply_free(s->pendingReply.load());
    lumo_free(s->subscription);
    lumo_free(s->component);
    lumo_free(s->mbrInterest);
    lumo_free(s->name);
    if (s->properties != nullptr) lumo_proplist_destroy(s->properties);
    lumo_lock_destroy(s->lock);
    s->~lumo_subscriber();
    lumo_free(s);
}

lumo_subscriber *allocate(const char *subscription, const char *component,
                          const char *mbrInterest, const lumo_proplist *properties,
                          std::uint32_t deltas) LUMO_NO_THREAD_SAFETY_ANALYSIS {
    void *memory = lumo_malloc(sizeof(lumo_subscriber));
    if (memory == nullptr) return nullptr;
    auto *s = new (memory) lumo_subscriber{};
    s->subscription = lumo_strdup_null(subscription);
    s->component = lumo_strdup(component);
    s->mbrInterest = lumo_strdup_null(mbrInterest);
    s->properties = lumo_proplist_copy(properties);
    s->deltas = deltas;
    const FlowLimits limits = lumo_flow_limits();
    s->maxMessages.store(limits.subMaxMessages);
    s->maxBytes.store(limits.subMaxBytes);
    s->lock = lumo_lock_create();
    s->queue = lumo_queue_create();
    s->streams = lumo_streamtable_new();
    if ((subscription != nullptr && s->subscription == nullptr) || s->component == nullptr ||
        (mbrInterest != nullptr && s->mbrInterest == nullptr) ||
        (properties != nullptr && s->properties == nullptr) || s->lock == nullptr ||
        s->queue == nullptr || s->streams == nullptr) {
        free_subscriber(s);
        return nullptr;
    }
    return s;
}

lumo_subreq *subscribe_request(const lumo_subscriber *s) {
    return lumo_subreq_subscribe(s->id, s->subscription, s->component, s->mbrInterest, s->deltas,
                                 s->properties);
}

// Takes the pending reply off the subscriber; from then on a late answer
// finds none and is dropped, never written into a released record.
lumo_reply *detach_reply(lumo_subscriber *s) {
    LockGuard guard(s->lock);
    return s->pendingReply.exchange(nullptr);
}

void close_subscriber(lumo_subscriber *s, bool unsubscribe) {
    if (unsubscribe && lumo_registry_has_subscriber(s, s->id)) {
        lumo_subreq *request = lumo_subreq_unsubscribe(s->id);
        if (!lumo_subreq_enqueue(request)) lumo_subreq_free(request);
    }
    if (s->closed.exchange(1) != 0) return;
    {
        LockGuard guard(s->lock);
        s->callbackRegistered.store(0);
        s->callback = nullptr;
        // A creator still waiting for the daemon's answer gets a refusal:
        // nobody will answer a closed subscriber.
        if (lumo_reply *reply = s->pendingReply.load()) lumo_reply_answer(reply, 0, nullptr);
    }
    if (lumo_runtime_current() != nullptr) {
        lumo_registry_remove_subscriber(s, s->id);
        vavevar::lumo_publisher_close(s->publisher);
        s->publisher = nullptr;
    }
    // Stopped, not destroyed: a receive or callback thread may still be on its
    // way into it. It goes with the last reference.
    lumo_queue_stop(s->queue);
    if (lumo_subscriberlist *list = s->list.load()) lumo_subscriberlist_leave(list, s);
    lumo_subscriber_unref(s);
}

}  // namespace

lumo_subscriber *lumo_subscriber_new(const char *subscription, const char *component,
                                     const char *mbrInterest, const lumo_proplist *properties,
                                     const SubscriberOptions &options) noexcept
    LUMO_NO_THREAD_SAFETY_ANALYSIS {
    char **status = options.status;
    const bool wait = options.wait;
    if (lumo_runtime_current() == nullptr) return nullptr;
    if (status != nullptr) *status = nullptr;

    lumo_subscriber *s = allocate(subscription, component, mbrInterest, properties, options.deltas ? 1 : 0);
    if (s == nullptr) return nullptr;
    s->id = lumo_registry_add_subscriber(s);
    if (s->id < 0) {
        free_subscriber(s);
        return nullptr;
    }
    // The application's handle, and the creator's own while it waits.
    s->refs = wait ? 2 : 1;
    s->publisher = lumo_publisher_new(component, PublisherOptions{.subscriberId = s->id});
    lumo_reply *reply = lumo_reply_create(wait);
    s->pendingReply.store(reply);
    lumo_subreq *request = s->publisher != nullptr && reply != nullptr ? subscribe_request(s) : nullptr;
    if (request == nullptr || !lumo_subreq_enqueue(request)) {
        lumo_subreq_free(request);
        lumo_reply_free(detach_reply(s));
        close_subscriber(s, false);
        if (wait) lumo_subscriber_unref(s);
        return nullptr;
    }
    if (!wait) return s;

    lumo_reply_wait(reply, options.timeoutMs);
    reply = detach_reply(s);
    std::int32_t result = 0;
    char *message = nullptr;
    if (!lumo_reply_outcome(reply, &result, &message)) message = lumo_strdup(kTimedOut);
    lumo_reply_free(reply);
    if (status != nullptr)
        *status = message;
    else
        lumo_free(message);

    if (result == 1 && s->closed.load() == 0) {
        lumo_subscriber_unref(s);
        return s;
    }
    close_subscriber(s, false);
    lumo_subscriber_unref(s);
    return nullptr;
}

std::int32_t lumo_subscriber_status(lumo_subscriber *s, char **status) noexcept {
    if (status != nullptr) *status = nullptr;
    LockGuard guard(s->lock);
    lumo_reply *reply = s->pendingReply.load();
    if (reply == nullptr) return 0;
    std::int32_t result = 0;
    char *message = nullptr;
    if (!lumo_reply_outcome(reply, &result, &message)) return 1;
    s->pendingReply.store(nullptr);
    lumo_reply_free(reply);
    if (result == 1) {
        lumo_free(message);
        return 0;
    }
    if (status != nullptr)
        *status = message;
    else
        lumo_free(message);
    return 2;
}

void lumo_subscriber_close(lumo_subscriber *s) noexcept { close_subscriber(s, true); }

void lumo_subscriber_release(lumo_subscriber *s) noexcept { close_subscriber(s, false); }

bool lumo_subscriber_ref(lumo_subscriber *s) noexcept {
    LockGuard guard(s->lock);
    if (s->closed.load() != 0) return false;
    s->refs += 1;
    return true;
}

void lumo_subscriber_unref(lumo_subscriber *s) noexcept {
    bool last;
    {
        LockGuard guard(s->lock);
        last = --s->refs == 0;
    }
    if (last) free_subscriber(s);
}

void lumo_subscriber_reply(lumo_subscriber *s, std::int32_t result, char *message) noexcept {
    LockGuard guard(s->lock);
    lumo_reply *reply = s->pendingReply.load();
    if (reply == nullptr) {
        lumo_free(message);  // an answer to a re-subscription, or too late
        return;
    }
    lumo_reply_answer(reply, result, message);
}

bool lumo_subscriber_resubscribe(lumo_subscriber *s) noexcept {
    lumo_subreq *request = subscribe_request(s);
    if (request == nullptr) return false;
    request->resubscribe = 1;
    if (!lumo_subreq_enqueue(request)) {
        lumo_subreq_free(request);
        return false;
    }
    return true;
}

void lumo_subscriber_counters_get(lumo_subscriber *s, lumo_subscriber_counters *out) noexcept {
    *out = lumo_subscriber_counters{s->received.load(), s->dropped.load(), s->droppedByDaemon.load(),
                                    s->duplicates.load()};
}

void lumo_subscriber_limits_set(lumo_subscriber *s, std::int64_t maxMessages, std::int64_t maxBytes) noexcept {
    if (maxMessages > 0) s->maxMessages.store(maxMessages);
    if (maxBytes > 0) s->maxBytes.store(maxBytes);
}

const char *lumo_subscriber_getName(lumo_subscriber *s) noexcept {
    if (s->name == nullptr) {
        char digits[12];
        lumo_itoa(digits, s->id);
        s->name = lumo_strdup(digits);
    }
    return s->name;
}

void lumo_subscriber_setName(lumo_subscriber *s, const char *name) noexcept {
    lumo_free(s->name);
    s->name = lumo_strdup_null(name);
}

}  // namespace vavevar
