#include "runtime/sender.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "notification/event_write.h"
#include "port/bytebuf.h"
#include "port/gate.h"
#include "port/lock.h"
#include "port/memory.h"
#include "port/queue.h"
#include "port/systhread.h"
#include "port/thread.h"
#include "runtime/conn.h"
#include "runtime/event_footprint.h"
#include "runtime/link.h"
#include "runtime/process_counters.h"
#include "runtime/runtime_state.h"
#include "runtime/send_budget.h"
#include "runtime/startup.h"

namespace vavevar {
namespace {

struct SenderState {
    // The locks outlive every runtime (see lumo_sender_prepare).
    Lock *conn_lock = nullptr;
    Lock *exit_lock = nullptr;
    Lock *stop_lock = nullptr;
    // Enqueuers and the receiver's queue walks reach the queue only under
    // exit_lock, so it cannot be destroyed under them.
    lumo_queue *queue LUMO_GUARDED_BY(exit_lock) = nullptr;
    std::atomic<std::int32_t> stop_requested{0};
    std::atomic<std::int32_t> sender_exiting{0};
    // Set when a stopping sender overran its grace period: write nothing more.
    std::atomic<std::int32_t> abandon{0};
    lumo_conn *current_conn LUMO_GUARDED_BY(conn_lock) = nullptr;
    // The grace watch of a stop in progress.
    lumo_gate *watch_cancel = nullptr;
    lumox_win32_thread_t *watch_thread = nullptr;
};

SenderState g_sender;
std::once_flag g_sender_once;

constexpr std::uint32_t kAbortRepeatMs = 100;
// What the sender finds queued is written with one send of up to this many
// bytes (a message larger than that goes alone); the buffer keeps its memory
// between batches up to twice this size.
constexpr std::size_t kBatchBytes = 64 * 1024;
constexpr std::size_t kKeptBufferBytes = 2 * kBatchBytes;
// Messages in one batch at most: more than 64 KiB of the smallest messages.
constexpr std::size_t kMaxBatch = 1024;
// How long the sender waits before building a message again when memory ran out.
constexpr std::uint32_t kNoMemoryPauseMs = 100;

// What the sender queue holds: a notification as it is, or a request's
// record marked in its lowest bit (both are aligned), so that publishing an
// event costs no record of its own.
void *queued_request(lumo_outmsg *message) {
    return reinterpret_cast<void *>(reinterpret_cast<std::uintptr_t>(message) | 1);
}

lumo_outmsg *as_request(void *item) {
    const auto bits = reinterpret_cast<std::uintptr_t>(item);
    return (bits & 1) != 0 ? reinterpret_cast<lumo_outmsg *>(bits & ~std::uintptr_t{1}) : nullptr;
}

// Every event leaves the sender through here, written or not; the room it
// took at publish is returned for the caller to give back (a batch gives
// back all of its room at once).
std::uint64_t release_item(void *item) {
    if (lumo_outmsg *request = as_request(item)) {
        lumo_outmsg_free(request);
        return 0;
    }
    auto *n = static_cast<lumo_notification *>(item);
    const std::uint64_t bytes = lumo_event_footprint(n);
    lumo_notification_destroy(n);
    return bytes;
}

void free_item(void *item) { lumo_send_budget_give_back(release_item(item)); }

// Hands an item to the running sender; false when it takes no more.
bool enqueue(void *item) {
    if (!lumo_sender_prepare()) return false;
    LockGuard guard(g_sender.exit_lock);
    if (g_sender.queue == nullptr || g_sender.sender_exiting.load()) return false;
    return lumo_queue_put(g_sender.queue, item) != 0;
}

// The instance name the daemon gave this runtime (none when the library is
// not initialised), copied out under the runtime's lock so that a batch is
// written without it.
class InstanceName {
public:
    InstanceName() noexcept
        : text_(lumo_runtime_instance_name(lumo_runtime_current(), buffer_, sizeof buffer_, &heap_,
                                           &length_)) {}
    ~InstanceName() { lumo_free(heap_); }
    InstanceName(const InstanceName &) = delete;
    InstanceName &operator=(const InstanceName &) = delete;

    bool append(void *item, ByteBuffer &out) const noexcept {
        if (const lumo_outmsg *request = as_request(item)) return request->ops->write(request->payload, out);
        return lumo_event_write(static_cast<const lumo_notification *>(item), text_, length_, out);
    }

private:
    char buffer_[256];
    char *heap_ = nullptr;
    std::size_t length_ = 0;
    const char *text_;
};

// Messages the queue refused to take back after a failed write (it is
// draining for a stop), in writing order: the sender writes them before
// anything queued. A batch takes from here before it takes from the queue,
// so this never holds more than one batch and the message after it.
// Putting back asks nothing of the send budget: an event keeps the room it
// took at publish until it is released, so what was accepted is never
// dropped here, however full the queue is.
class Held {
public:
    bool empty() const noexcept { return count_ == 0; }
    void *pop() noexcept {
        --count_;
        return items_[first_++];
    }
    // Puts `messages` back ahead of everything queued, in their order; what
    // the queue refuses is held here, ahead of what was held already.
    void put_back(lumo_queue *queue, void *const *messages, std::size_t count) noexcept {
        std::size_t refused = count;
        while (refused > 0 && lumo_queue_putfront(queue, messages[refused - 1])) --refused;
        for (std::size_t i = count_; i-- > 0;) items_[refused + i] = items_[first_ + i];
        for (std::size_t i = 0; i < refused; ++i) items_[i] = messages[i];
        first_ = 0;
        count_ += refused;
    }
    void free_all() noexcept {
        while (!empty()) free_item(pop());
    }

private:
    void *items_[kMaxBatch + 1];
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

void publish_conn(lumo_conn *conn) {
    LockGuard guard(g_sender.conn_lock);
    g_sender.current_conn = conn;
}

// Gives up the sender's record and its own duplicate of the socket.
void drop_conn(lumo_conn *&conn) {
    publish_conn(nullptr);
    std::int32_t socket = lumo_conn_socket(conn);
    lumo_conn_free(conn);
    ::close(socket);
    conn = nullptr;
}

// Runs while a stop is in progress: when the sender has not finished within
// the grace period, the daemon is not taking what it writes, so the
// connection is shut down under the blocked send, again and again in case
// the receiver reconnects, until the stop completes.
void watch_main(void *) noexcept {
    if (lumo_gate_wait(g_sender.watch_cancel, kSenderGraceMs)) return;
    g_sender.abandon.store(1);
    do {
        lumo_link_abort();
    } while (!lumo_gate_wait(g_sender.watch_cancel, kAbortRepeatMs));
}

void start_watch() {
    if (g_sender.watch_cancel == nullptr) g_sender.watch_cancel = lumo_gate_create();
    if (g_sender.watch_cancel == nullptr) return;
    lumo_gate_reset(g_sender.watch_cancel);
    g_sender.watch_thread = vavevar::lumox_win32_thread_createattached(watch_main, nullptr);
}

// One send's worth of messages, serialised back to back.
struct Batch {
    void *messages[kMaxBatch + 1];
    std::size_t ends[kMaxBatch];  // where each message's bytes end in the buffer
    std::size_t count = 0;
};

enum class Written { yes, lost_link, no_memory };

// Takes the messages that are there without waiting, behind `first`, and
// serialises them into `out` until it holds kBatchBytes, then hands it to the
// kernel in one send. What the kernel took whole is released; the rest goes
// back ahead of the queue in order, to be written whole on the next
// connection (or, when memory ran out, on this one after a pause).
Written write_batch(void *first, lumo_queue *queue, Held &held, ByteBuffer &out,
                    lumo_conn *conn) {
    Batch batch;
    InstanceName name;
    out.truncate(0);
    bool built = true;
    for (void *message = first; message != nullptr;) {
        if (g_sender.abandon.load()) {
            free_item(message);
        } else if (name.append(message, out)) {
            batch.ends[batch.count] = out.size();
            batch.messages[batch.count++] = message;
        } else {
            // It goes back behind what is built, to be tried again alone.
            batch.messages[batch.count] = message;
            built = false;
            break;
        }
        if (out.size() >= kBatchBytes || batch.count == kMaxBatch) break;
        message = !held.empty() ? held.pop() : lumo_queue_get(queue, 0, -1);
    }
    std::size_t handed = 0;
    bool sent = batch.count == 0 || lumo_conn_send(conn, out.data(), out.size(), &handed);
    if (sent) handed = out.size();
    std::size_t done = 0;
    std::uint64_t released = 0;
    while (done < batch.count && batch.ends[done] <= handed) released += release_item(batch.messages[done++]);
    lumo_send_budget_give_back(released);
    std::size_t left = batch.count - done + (built ? 0 : 1);
    if (left > 0) held.put_back(queue, batch.messages + done, left);
    // A large body is not kept once it went: the buffer starts small again.
    if (out.capacity() > kKeptBufferBytes) out.release();
    if (!sent) return Written::lost_link;
    return built ? Written::yes : Written::no_memory;
}

void loop(lumo_queue *queue) {
    lumo_conn *conn = nullptr;
    ByteBuffer out;
    Held held;
    auto next_message = [&](std::int32_t wait) {
        if (!held.empty()) return held.pop();
        return lumo_queue_get(queue, wait, -1);
    };

    while (!g_sender.sender_exiting.load()) {
        if (conn == nullptr) {
            if (!g_sender.abandon.load()) {
                std::int32_t socket = lumo_link_wait_dup(-1);
                conn = lumo_conn_create(socket);
                if (conn != nullptr) {
                    publish_conn(conn);
                    continue;
                }
                if (socket != -1) ::close(socket);
                // The link is up but its socket could not be copied (no
                // descriptor left): wait a little instead of spinning.
                if (socket == -1 && lumo_link_is_up()) lumo_sleep(100);
            }
            if (g_sender.stop_requested.load()) {
                // Stopping with no link to write on: what is queued goes.
                if (void *item = next_message(0)) free_item(item);
                lumo_sleep(0);
            }
            continue;
        }
        void *message = next_message(1);
        if (message == nullptr) continue;
        switch (write_batch(message, queue, held, out, conn)) {
        case Written::yes: break;
        case Written::lost_link: drop_conn(conn); break;
        case Written::no_memory: lumo_sleep(kNoMemoryPauseMs); break;
        }
    }

    held.free_all();
    if (conn != nullptr) drop_conn(conn);
}

}  // namespace

bool lumo_sender_prepare() noexcept {
    std::call_once(g_sender_once, [] {
        g_sender.conn_lock = lumo_lock_create();
        g_sender.exit_lock = lumo_lock_create();
        g_sender.stop_lock = lumo_lock_create();
    });
    return g_sender.conn_lock != nullptr && g_sender.exit_lock != nullptr &&
           g_sender.stop_lock != nullptr && lumo_send_budget_prepare();
}

void lumo_sender_main(void *startup) noexcept {
    lumo_queue *queue = lumo_queue_create();
    g_sender.stop_requested.store(0);
    g_sender.sender_exiting.store(0);
    g_sender.abandon.store(0);
    lumo_send_budget_open();
    publish_conn(nullptr);
    {
        LockGuard guard(g_sender.exit_lock);
        g_sender.queue = queue;
    }
    lumo_startup_sender_ready(static_cast<lumo_startup *>(startup));  // gone after this

    if (queue != nullptr) {
        loop(queue);
    } else {
        // Without a queue nothing can be sent; wait for the stop.
        while (!g_sender.sender_exiting.load()) lumo_sleep(100);
    }

    {
        LockGuard guard(g_sender.exit_lock);
        g_sender.queue = nullptr;
    }
    // Messages still queued are abandoned unsent, but not leaked.
    lumo_queue_destroy(queue, free_item);
}

bool lumo_sender_enqueue_event(lumo_notification *n) noexcept {
    if (n == nullptr) return false;
    lumo_counters_count_published();
    // Measured before it is queued: once there, the sender may release it.
    const std::uint64_t bytes = lumo_event_footprint(n);
    if (lumo_send_budget_take(bytes) == Room::taken) {
        if (enqueue(n)) return true;
        lumo_send_budget_give_back(bytes);
    }
    lumo_notification_destroy(n);
    lumo_counters_count_dropped_at_send();
    return false;
}

bool lumo_sender_enqueue_request(OutmsgKind kind, std::int32_t subscriberId, void *payload,
                                         const OutmsgOps *ops) noexcept {
    if (payload == nullptr || ops == nullptr || kind == kOutmsgEvent) return false;
    auto *message = static_cast<lumo_outmsg *>(lumo_malloc(sizeof(lumo_outmsg)));
    if (message == nullptr) return false;
    *message = lumo_outmsg{kind, subscriberId, payload, ops};
    if (!enqueue(queued_request(message))) {
        lumo_free(message);  // the request stays the caller's
        return false;
    }
    return true;
}

void lumo_sender_stop(std::int32_t wait) noexcept {
    // Publishers waiting for room leave now: a drain only refuses them later.
    lumo_send_budget_close();
    start_watch();
    {
        LockGuard guard(g_sender.stop_lock);
        g_sender.stop_requested.store(1);
        lumo_link_release_waiters();
    }
    if (wait != 0) {
        // The queue cannot go while its close is in progress: only the
        // sender destroys it, after sender_exiting is set below.
        lumo_queue *queue;
        {
            LockGuard guard(g_sender.exit_lock);
            queue = g_sender.queue;
        }
        lumo_queue_close(queue);
    }
    LockGuard guard(g_sender.exit_lock);
    g_sender.sender_exiting.store(1);
    lumo_queue_stop(g_sender.queue);
}

void lumo_sender_stopped() noexcept {
    if (g_sender.watch_thread == nullptr) return;
    lumo_gate_set(g_sender.watch_cancel);
    vavevar::lumox_win32_thread_join(g_sender.watch_thread, nullptr);
    g_sender.watch_thread = nullptr;
}

void lumo_sender_invalidate_conn() noexcept {
    if (g_sender.sender_exiting.load() || !lumo_sender_prepare()) return;
    LockGuard guard(g_sender.conn_lock);
    if (g_sender.current_conn != nullptr) lumo_conn_invalidate(g_sender.current_conn);
}

void lumo_sender_purge_unsubscribes() noexcept {
    if (!lumo_sender_prepare()) return;
    LockGuard guard(g_sender.exit_lock);
    lumo_queue *queue = g_sender.queue;
    if (!lumo_queue_iterbegin(queue)) return;
    while (void *item = lumo_queue_iternext(queue)) {
        lumo_outmsg *message = as_request(item);
        if (message == nullptr || message->msg_kind != kOutmsgUnsubscribe) continue;
        lumo_queue_iterremove(queue);
        lumo_outmsg_free(message);
    }
    lumo_queue_iterend(queue);
}

bool lumo_sender_subscribe_pending(std::int32_t subscriberId) noexcept {
    if (!lumo_sender_prepare()) return false;
    LockGuard guard(g_sender.exit_lock);
    lumo_queue *queue = g_sender.queue;
    if (!lumo_queue_iterbegin(queue)) return false;
    bool found = false;
    while (void *item = lumo_queue_iternext(queue)) {
        const lumo_outmsg *message = as_request(item);
        if (message != nullptr && message->msg_kind == kOutmsgSubscribe &&
            message->subscriberId == subscriberId) {
            found = true;
            break;
        }
    }
    lumo_queue_iterend(queue);
    return found;
}

void lumo_outmsg_free(lumo_outmsg *message) noexcept {
    if (message == nullptr) return;
    message->ops->destroy(message->payload);
    lumo_free(message);
}

}  // namespace vavevar
