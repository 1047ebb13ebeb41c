// What happens to a notification from its delivery to a subscriber until the
// application gives it back: the delivery queue and its bound, receive,
// relinquish, and the callback threads.
#include <cstdint>

#include "notification/notification.h"
#include "port/memory.h"
#include "port/systhread.h"
#include "port/thread.h"
#include "pubsub/callback_pool.h"
#include "pubsub/flow_dispatch.h"
#include "pubsub/flow_limits.h"
#include "pubsub/replay_record.h"
#include "pubsub/stream_table.h"
#include "pubsub/subscriber.h"
#include "pubsub/subscriber_list.h"

namespace vavevar {
namespace {

constexpr std::int32_t kCallbackQueueWaitMs = 1000;
constexpr std::uint32_t kPendingReplyPollMs = 10;

// Handed to the mode-0 thread, which frees it first.
struct CallbackStart {
    lumo_subscriber *subscriber;
    std::int32_t generation;  // the registration the thread serves
};

// Whether `messages` more notifications of `bytes` in all fit the
// subscriber's bound, besides `extraMessages`/`extraBytes` held elsewhere.
bool fits(const lumo_subscriber *s, std::int64_t messages, std::int64_t bytes,
          std::int64_t extraMessages = 0, std::int64_t extraBytes = 0) {
    return s->queuedMessages.load() + extraMessages + messages <= s->maxMessages.load() &&
           s->queuedBytes.load() + extraBytes + bytes <= s->maxBytes.load();
}

void count_dropped(lumo_subscriber *s) {
    s->dropped.fetch_add(1);
    lumo_flow_note(LUMO_FLOW_DROPPED, s, 1);
}

// A notification enters or leaves the delivery queue's account. Its charge
// is worked out from the record each time, and the record does not change
// while queued, so both ends agree.
void charge(lumo_subscriber *s, const lumo_notification *n) {
    s->queuedMessages.fetch_add(1);
    s->queuedBytes.fetch_add(lumo_notification_charge(n));
}

void discharge(lumo_subscriber *s, const lumo_notification *n) {
    s->queuedMessages.fetch_sub(1);
    s->queuedBytes.fetch_sub(lumo_notification_charge(n));
}

// Takes the head of the delivery queue, which then no longer counts.
lumo_notification *take(lumo_subscriber *s, std::int32_t wait, std::int32_t timeoutMs) {
    auto *n = static_cast<lumo_notification *>(lumo_queue_get(s->queue, wait, timeoutMs));
    if (n != nullptr) discharge(s, n);
    return n;
}

// Records `n` as handed to the application.
void hold(lumo_subscriber *s, lumo_notification *n) {
    LockGuard guard(s->lock);
    lumo_held_append(s, n);
}

// After a callback: destroys `n` unless the callback relinquished it. The
// callback may have destroyed it, so it is looked for among those still
// held, by address, and only touched once found there.
void release_after_callback(lumo_subscriber *s, lumo_notification *n) {
    bool still_held = false;
    {
        LockGuard guard(s->lock);
        for (lumo_notification *held = s->heldHead; held != nullptr && !still_held; held = held->held.next)
            still_held = held == n;
        if (still_held) lumo_held_remove(s, n);
    }
    if (still_held) lumo_notification_destroy(n);
}

bool serving(lumo_subscriber *s, std::int32_t generation) {
    return s->callbackRegistered.load() == generation && s->closed.load() == 0;
}

// Mode 0: one thread per registration drains the delivery queue into the
// callback until the registration is cancelled or the subscriber closed.
void queue_callback_main(void *raw) noexcept {
    auto start = *static_cast<CallbackStart *>(raw);
    lumo_free(raw);
    lumo_subscriber *s = start.subscriber;
    while (serving(s, start.generation)) {
        // Nothing is delivered before the subscription's answer is collected.
        if (s->pendingReply.load() != nullptr) {
            lumo_sleep(kPendingReplyPollMs);
            continue;
        }
        lumo_notification *n = take(s, 1, kCallbackQueueWaitMs);
        if (n == nullptr) continue;
        hold(s, n);
        lumo_subscriber_callback callback;
        void *context;
        {
            LockGuard guard(s->lock);
            callback = s->callback;
            context = s->callbackContext;
        }
        // A notification taken as the registration ended stays held, to be
        // relinquished or destroyed with the subscriber.
        if (!serving(s, start.generation) || callback == nullptr) break;
        callback(n, context);
        release_after_callback(s, n);
    }
    lumo_subscriber_unref(s);
}

// Starts the mode-0 thread, holding a reference of its own, taken here so
// that the subscriber cannot go before the thread has started.
void start_queue_thread(lumo_subscriber *s, std::int32_t generation) {
    if (!lumo_subscriber_ref(s)) return;
    auto *start = static_cast<CallbackStart *>(lumo_malloc(sizeof(CallbackStart)));
    if (start != nullptr) {
        *start = CallbackStart{s, generation};
        if (vavevar::lumox_win32_thread_createdetached(queue_callback_main, start) != kThreadStartFailed)
            return;
        lumo_free(start);
    }
    lumo_subscriber_unref(s);
}

// The stream step: a block of an incoming stream goes into its input stream.
// The stream's first notification goes on to the application as the stream's
// representative (returned); every later one is used up here (null).
//
// Unread blocks count against the subscriber's bound together with its
// delivery queue. A block that would pass it cuts the stream: the reader
// sees the end after what came before, and this block and every later one
// up to the stream's end marker count as dropped. A first block that finds
// no room drops the whole stream so.
lumo_notification *take_stream_block(lumo_subscriber *s, lumo_notification *n) {
    const char *key = lumo_notification_streamKey(n);
    if (key == nullptr) return n;  // no stream to join: an ordinary notification
    lumo_instream *stream = lumo_streamtable_find(s->streams, key);
    const bool first = stream == nullptr;
    const bool end = lumo_notification_hasNoBody(n);
    const std::int32_t length = end ? 0 : n->bodyLength;
    if (first) {
        stream = lumo_instream_new(key);
        if (stream == nullptr) {
            lumo_notification_destroy(n);
            count_dropped(s);
            return nullptr;
        }
        lumo_streamtable_add(s->streams, stream);
        lumo_notification_setInputStream(n, stream, lumo_instream_representative_gone);
        // Room for the representative in the queue and its block in the stream.
        if (!fits(s, end ? 1 : 2, lumo_notification_charge(n))) lumo_instream_cut(stream);
    } else if (stream->cut == 0 && !end &&
               !fits(s, 1, length, stream->unreadBlocks.load(), stream->unreadBytes.load())) {
        lumo_instream_cut(stream);
    }
    if (stream->cut != 0) {
        // Dropped; its end marker takes the stream out of the table.
        if (end) lumo_streamtable_remove(s->streams, stream);
        lumo_notification_destroy(n);
        count_dropped(s);
        return nullptr;
    }
    s->received.fetch_add(1);
    // The end marker is queued before it takes the stream out of the table:
    // once out, the application may free the stream at any moment. A stream
    // that ends with its first notification never stays in the table.
    if (end) {
        lumo_notification_takeBody(n);  // leaves it bodiless; there is nothing to take
        lumo_instream_put(stream, nullptr, 0);
        bool freed = lumo_streamtable_remove(s->streams, stream);
        if (first && !freed) return n;
        lumo_notification_destroy(n);
        return nullptr;
    }
    // A received stream's body is its own allocation, so taking it cannot
    // fail; were it ever copied and memory short, the block is dropped
    // rather than taken for the stream's end.
    if (char *bytes = lumo_notification_takeBody(n)) lumo_instream_put(stream, bytes, length);
    if (first) return n;
    lumo_notification_destroy(n);
    return nullptr;
}

// A replayed event the subscriber already had is dropped; every event it
// takes is remembered for the replays to come. True when `n` was a
// duplicate (and is destroyed).
bool duplicate(lumo_subscriber *s, lumo_notification *n, bool replayed) {
    const std::uint64_t key = ReplayRecord::key_of(n);
    if (key == 0) return false;
    if (s->replay == nullptr && (s->replay = ReplayRecord::create()) == nullptr) return false;
    if (replayed && s->replay->contains(key)) {
        s->duplicates.fetch_add(1);
        lumo_notification_destroy(n);
        return true;
    }
    s->replay->add(key);
    return false;
}

}  // namespace

void lumo_held_append(lumo_subscriber *s, lumo_notification *n) noexcept {
    n->held = HeldLink{s, nullptr, s->heldTail};
    (s->heldTail != nullptr ? s->heldTail->held.next : s->heldHead) = n;
    s->heldTail = n;
    s->heldCount += 1;
}

bool lumo_held_remove(lumo_subscriber *s, lumo_notification *n) noexcept {
    if (n->held.holder != s) return false;
    lumo_notification *next = n->held.next;
    lumo_notification *previous = n->held.previous;
    (previous != nullptr ? previous->held.next : s->heldHead) = next;
    (next != nullptr ? next->held.previous : s->heldTail) = previous;
    n->held = HeldLink{};
    s->heldCount -= 1;
    return true;
}

void lumo_subscriber_deliver(lumo_subscriber *s, lumo_notification *n,
                             PendingCallback *later, bool replayed) noexcept {
    if (s == nullptr || s->closed.load() != 0) {
        lumo_notification_destroy(n);
        return;
    }
    if (duplicate(s, n, replayed)) return;
    if (n->notificationClass == kIncomingStreamingNotification) {
        n = take_stream_block(s, n);
        if (n == nullptr) return;
    } else if (!fits(s, 1, lumo_notification_charge(n))) {
        lumo_notification_destroy(n);
        count_dropped(s);
        return;
    } else {
        s->received.fetch_add(1);
    }
    // Mode and registration are read together: a registration replaced in
    // between must not get a thread of the old mode.
    std::int32_t mode;
    std::int32_t registration;
    {
        LockGuard guard(s->lock);
        mode = s->callbackMode;
        registration = s->callbackRegistered.load();
    }
    charge(s, n);
    if (!lumo_queue_put(s->queue, n)) {
        discharge(s, n);
        lumo_notification_destroy(n);  // closed meanwhile
        return;
    }
    // Mode 1: the notification waits in the queue for its turn on one of the
    // pool's threads. The turn's reference is taken now, while the
    // subscriber is surely alive.
    if (registration != 0 && mode == 1 && lumo_subscriber_ref(s)) {
        bool failed = false;
        if (lumo_callback_pool_submit(s, registration, &failed)) {
            if (later != nullptr)
                later->startThread = true;
            else
                lumo_callback_pool_start();
        }
    }
    // Whichever way it went: the list hears of every delivery.
    if (lumo_subscriberlist *list = s->list.load()) lumo_subscriberlist_notify(list, s);
}

void lumo_subscriber_gap(lumo_subscriber *s, std::uint64_t count) noexcept {
    if (s == nullptr || s->closed.load() != 0) return;
    s->droppedByDaemon.fetch_add(count);
    lumo_flow_note(LUMO_FLOW_GAP, s, count);
    for (lumo_instream *stream = s->streams != nullptr ? s->streams->head : nullptr; stream != nullptr;
         stream = stream->next)
        lumo_instream_cut(stream);
}

void lumo_subscriber_run_turn(lumo_subscriber *s, std::int32_t generation) noexcept {
    if (!serving(s, generation)) return;
    lumo_notification *n = take(s, 0, 0);
    if (n == nullptr) return;  // taken by a receive meanwhile
    lumo_subscriber_callback callback = nullptr;
    void *context = nullptr;
    {
        LockGuard guard(s->lock);
        // Only the registration it was delivered for: a notification
        // delivered before a cancel never runs the next registration's
        // callback.
        if (serving(s, generation)) {
            callback = s->callback;
            context = s->callbackContext;
            lumo_held_append(s, n);
        }
    }
    if (callback != nullptr) {
        callback(n, context);
        release_after_callback(s, n);
    } else {
        lumo_notification_destroy(n);  // nobody will take it any more
    }
}

lumo_notification *lumo_subscriber_receive(lumo_subscriber *s, std::int32_t wait,
                                           std::int32_t timeoutMs) noexcept {
    if (s->closed.load() != 0) return nullptr;
    if (wait != 0 && s->pendingReply.load() != nullptr) return nullptr;
    // A reference of its own keeps the subscriber (and its queue) alive should
    // the application close it while this waits.
    if (!lumo_subscriber_ref(s)) return nullptr;
    lumo_notification *n = take(s, wait, timeoutMs);
    if (n != nullptr) hold(s, n);
    lumo_subscriber_unref(s);
    return n;
}

void lumo_subscriber_relinquish(lumo_subscriber *s, lumo_notification *n) noexcept {
    if (s != nullptr) {
        LockGuard guard(s->lock);
        lumo_held_remove(s, n);
    }
    lumo_notification_destroy(n);
}

std::int32_t lumo_subscriber_registercallback(lumo_subscriber *s,
                                              lumo_subscriber_callback callback, void *context,
                                              std::int32_t mode) noexcept {
    std::int32_t generation;
    {
        LockGuard guard(s->lock);
        if (s->callbackRegistered.load() != 0) return -1;
        s->callback = callback;
        s->callbackContext = context;
        s->callbackMode = mode;
        // Each registration gets its own number, so that the thread of a
        // cancelled one does not go on serving the next.
        static std::atomic<std::int32_t> next_generation{1};
        generation = next_generation.fetch_add(1);
        if (generation <= 0) generation = next_generation = 1;
        s->callbackRegistered.store(generation);
    }
    if (mode == 0) start_queue_thread(s, generation);
    return 0;
}

std::int32_t lumo_subscriber_cancelcallback(lumo_subscriber *s) noexcept {
    LockGuard guard(s->lock);
    if (s->callbackRegistered.load() == 0) return -1;
    s->callbackRegistered.store(0);
    s->callback = nullptr;
    return 0;
}

void lumo_subscriber_start_callback(const PendingCallback &later) noexcept {
    if (later.startThread) lumo_callback_pool_start();
}

}  // namespace vavevar
