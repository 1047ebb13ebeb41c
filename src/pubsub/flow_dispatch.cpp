#include "pubsub/flow_dispatch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "pubsub/subscriber.h"

namespace vavevar {
namespace {

// How long the dispatcher lets a burst gather after the first event wakes it,
// so that a flood of drops is told in a few calls rather than thousands.
constexpr std::chrono::milliseconds kSettle{10};

// Link and send events, by kind, indexed by LUMO_FLOW_* value.
constexpr std::int32_t kKinds = LUMO_FLOW_SEND_DROPPED + 1;

// Made once and never destroyed: at exit the dispatcher may still run (the
// application set a handler and never shut down), and a destroyed
// std::thread that still runs would end the process.
std::mutex &g_mutex = *new std::mutex;
std::condition_variable &g_changed = *new std::condition_variable;
// Everything below is guarded by g_mutex, except g_active, which reporters
// read first without it so that with no handler a report costs one load.
std::atomic<bool> g_active{false};
lumo_flow_handler g_handler = nullptr;
void *g_context = nullptr;
std::uint64_t g_pending[kKinds] = {};
lumo_subscriber *g_listHead = nullptr;
lumo_subscriber *g_listTail = nullptr;
std::thread &g_thread = *new std::thread;
std::thread::id g_threadId;
// Each dispatcher serves one epoch; a stop moves to the next, so that a
// dispatcher left running (the handler called the shutdown) ends on its own.
std::uint64_t g_epoch = 0;
bool g_calling = false;

bool has_pending() {
    if (g_listHead != nullptr) return true;
    for (std::uint64_t count : g_pending)
        if (count != 0) return true;
    return false;
}

// Calls the current handler, read just before the call: a handler replaced
// from inside an earlier call of this batch is not called again.
void call(std::int32_t kind, lumo_subscriber *s, std::uint64_t count) {
    if (count == 0) return;
    lumo_flow_handler handler;
    void *context;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        handler = g_handler;
        context = g_context;
    }
    if (handler != nullptr) handler(kind, s, count, context);
}

void dispatch_main(std::uint64_t epoch) {
    std::unique_lock<std::mutex> lock(g_mutex);
    for (;;) {
        g_changed.wait(lock, [&] { return g_epoch != epoch || has_pending(); });
        if (g_epoch != epoch) return;
        g_changed.wait_for(lock, kSettle, [&] { return g_epoch != epoch; });
        if (g_epoch != epoch) return;
        std::uint64_t link[kKinds];
        for (std::int32_t kind = 0; kind < kKinds; ++kind) {
            link[kind] = g_pending[kind];
            g_pending[kind] = 0;
        }
        // The batch leaves the list; its subscribers stay marked as listed
        // until each is taken, so a report meanwhile only adds to its counts.
        lumo_subscriber *list = g_listHead;
        g_listHead = g_listTail = nullptr;
        g_calling = true;
        lock.unlock();

        call(LUMO_FLOW_LINK_DOWN, nullptr, link[LUMO_FLOW_LINK_DOWN]);
        call(LUMO_FLOW_LINK_UP, nullptr, link[LUMO_FLOW_LINK_UP]);
        call(LUMO_FLOW_SEND_DROPPED, nullptr, link[LUMO_FLOW_SEND_DROPPED]);
        while (list != nullptr) {
            lumo_subscriber *s = list;
            // Taken off before its counts are read: a later report lists it
            // again. The handler may close it; the list's reference keeps it.
            {
                std::lock_guard<std::mutex> guard(g_mutex);
                list = s->flowNext;
                s->flowListed = false;
            }
            call(LUMO_FLOW_DROPPED, s, s->flowDropped.exchange(0));
            call(LUMO_FLOW_GAP, s, s->flowGap.exchange(0));
            lumo_subscriber_unref(s);
        }

        lock.lock();
        if (g_epoch == epoch) g_calling = false;
        g_changed.notify_all();
    }
}

// Lists the subscriber for the dispatcher; the reference it takes is given
// back once its events are told.
void list_subscriber(lumo_subscriber *s) {
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (s->flowListed) return;
    }
    if (!lumo_subscriber_ref(s)) return;  // closed: nobody to tell of it
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (!s->flowListed && g_handler != nullptr) {
            s->flowListed = true;
            s->flowNext = nullptr;
            (g_listTail != nullptr ? g_listTail->flowNext : g_listHead) = s;
            g_listTail = s;
            g_changed.notify_all();
            return;
        }
    }
    lumo_subscriber_unref(s);
}

}  // namespace

void lumo_flow_note(std::int32_t kind, lumo_subscriber *s, std::uint64_t count) noexcept {
    if (!g_active.load() || count == 0) return;
    (kind == LUMO_FLOW_GAP ? s->flowGap : s->flowDropped).fetch_add(count);
    list_subscriber(s);
}

void lumo_flow_observe(std::int32_t kind, std::uint64_t count) noexcept {
    if (!g_active.load() || kind < 0 || kind >= kKinds) return;
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_handler == nullptr) return;
    g_pending[kind] += count;
    g_changed.notify_all();
}

std::int32_t lumo_flow_set_handler(lumo_flow_handler handler, void *context) noexcept {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (handler != nullptr && !g_thread.joinable()) {
        try {
            g_thread = std::thread(dispatch_main, g_epoch);
        } catch (...) {
            return -1;
        }
        g_threadId = g_thread.get_id();
    }
    g_handler = handler;
    g_context = context;
    g_active.store(handler != nullptr);
    if (handler == nullptr)
        for (std::uint64_t &count : g_pending) count = 0;
    if (std::this_thread::get_id() != g_threadId)
        g_changed.wait(lock, [] { return !g_calling; });
    return 0;
}

void lumo_flow_stop() noexcept {
    std::thread thread;
    lumo_subscriber *list;
    {
        std::unique_lock<std::mutex> lock(g_mutex);
        g_handler = nullptr;
        g_context = nullptr;
        g_active.store(false);
        const bool inside = std::this_thread::get_id() == g_threadId && g_thread.joinable();
        if (!inside) g_changed.wait(lock, [] { return !g_calling; });
        g_epoch += 1;
        g_changed.notify_all();
        thread = std::move(g_thread);
        g_threadId = std::thread::id{};
        for (std::uint64_t &count : g_pending) count = 0;
        list = g_listHead;
        g_listHead = g_listTail = nullptr;
        for (lumo_subscriber *s = list; s != nullptr; s = s->flowNext) s->flowListed = false;
        // Only a dispatcher that is calling can be left running: it is this
        // thread, and it ends when the handler returns.
        g_calling = false;
    }
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) thread.detach();
        else thread.join();
    }
    while (list != nullptr) {
        lumo_subscriber *s = list;
        list = s->flowNext;
        s->flowDropped.store(0);
        s->flowGap.store(0);
        lumo_subscriber_unref(s);
    }
}

}  // namespace vavevar
