#include "pubsub/callback_pool.h"

#include <mutex>

#include "port/memory.h"
#include "port/systhread.h"
#include "port/thread.h"
#include "pubsub/flow_limits.h"

namespace vavevar {
namespace {

struct Turn {
    lumo_subscriber *subscriber;
    std::int32_t generation;
    Turn *next;
};

// Guards the FIFO and the count of running threads; taken under the
// runtime's lock by delivery, and never held while a callback runs.
std::mutex g_mutex;
Turn *g_head = nullptr;
Turn *g_tail = nullptr;
std::int32_t g_running = 0;

// The next turn for a thread that finished one; null (and the thread no
// longer counted) when none waits.
Turn *next_turn() {
    std::lock_guard<std::mutex> guard(g_mutex);
    Turn *turn = g_head;
    if (turn == nullptr) {
        g_running -= 1;
        return nullptr;
    }
    g_head = turn->next;
    if (g_head == nullptr) g_tail = nullptr;
    return turn;
}

void worker_main(void *raw) noexcept {
    auto *turn = static_cast<Turn *>(raw);
    while (turn != nullptr) {
        lumo_subscriber_run_turn(turn->subscriber, turn->generation);
        lumo_subscriber_unref(turn->subscriber);
        lumo_free(turn);
        turn = next_turn();
    }
}

}  // namespace

bool lumo_callback_pool_submit(lumo_subscriber *s, std::int32_t generation, bool *failed) noexcept {
    *failed = false;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (g_running < lumo_flow_limits().callbackThreads) {
            g_running += 1;
            return true;
        }
    }
    auto *turn = static_cast<Turn *>(lumo_malloc(sizeof(Turn)));
    if (turn == nullptr) {
        *failed = true;
        lumo_subscriber_unref(s);
        return false;
    }
    *turn = Turn{s, generation, nullptr};
    std::lock_guard<std::mutex> guard(g_mutex);
    (g_tail != nullptr ? g_tail->next : g_head) = turn;
    g_tail = turn;
    return false;
}

void lumo_callback_pool_start(lumo_subscriber *s, std::int32_t generation) noexcept {
    auto *turn = static_cast<Turn *>(lumo_malloc(sizeof(Turn)));
    if (turn != nullptr) {
        *turn = Turn{s, generation, nullptr};
        if (lumox_win32_thread_createdetached(worker_main, turn) != kThreadStartFailed) return;
        lumo_free(turn);
    }
    lumo_subscriber_unref(s);
    // The slot is given back. The turn's notification stays queued: the
    // next turn of that subscriber, or a receive, takes it. Turns already
    // waiting are not run here, on the receiver's thread: the next thread
    // started takes them.
    std::lock_guard<std::mutex> guard(g_mutex);
    g_running -= 1;
}

std::int32_t lumo_callback_pool_running() noexcept {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_running;
}

}  // namespace vavevar
