#include "pubsub/callback_pool.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "port/memory.h"
#include "port/systhread.h"
#include "port/thread.h"
#include "pubsub/flow_limits.h"

namespace vavevar {
namespace {

// How long an idle thread waits for the next turn before it ends. Threads
// stay through a flood, so the bound holds for the threads that exist, not
// only for those counted: a thread that has ended its count but not yet
// exited never overlaps with its replacement while turns keep coming.
constexpr std::chrono::milliseconds kLinger{200};

struct Turn {
    lumo_subscriber *subscriber;
    std::int32_t generation;
    Turn *next;
};

// Guards everything below; taken under the runtime's lock by delivery, and
// never held while a callback runs.
// Made once and never destroyed: idle threads may still wait at exit.
std::mutex &g_mutex = *new std::mutex;
std::condition_variable &g_turns = *new std::condition_variable;
Turn *g_head = nullptr;
Turn *g_tail = nullptr;
std::int32_t g_queued = 0;  // turns in the FIFO
std::int32_t g_alive = 0;   // threads started and not yet ending
std::int32_t g_idle = 0;    // of those, waiting for a turn
std::uint64_t g_release = 0;  // raised to let the idle threads go at once

void worker_main(void *) noexcept {
    std::unique_lock<std::mutex> lock(g_mutex);
    for (;;) {
        while (g_head == nullptr) {
            const std::uint64_t release = g_release;
            g_idle += 1;
            const bool woken = g_turns.wait_for(lock, kLinger, [&] { return g_head != nullptr || g_release != release; });
            g_idle -= 1;
            if (g_head == nullptr && (!woken || g_release != release)) {
                g_alive -= 1;
                return;
            }
        }
        Turn *turn = g_head;
        g_head = turn->next;
        if (g_head == nullptr) g_tail = nullptr;
        g_queued -= 1;
        lock.unlock();
        lumo_subscriber_run_turn(turn->subscriber, turn->generation);
        lumo_subscriber_unref(turn->subscriber);
        lumo_free(turn);
        lock.lock();
    }
}

}  // namespace

bool lumo_callback_pool_submit(lumo_subscriber *s, std::int32_t generation, bool *failed) noexcept {
    *failed = false;
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
    g_queued += 1;
    // More turns waiting than idle threads to take them: another thread, while
    // the bound allows; otherwise the running ones take it in its turn.
    if (g_queued > g_idle && g_alive < lumo_flow_limits().callbackThreads) {
        g_alive += 1;
        return true;
    }
    g_turns.notify_one();
    return false;
}

void lumo_callback_pool_start() noexcept {
    if (lumox_win32_thread_createdetached(worker_main, nullptr) != kThreadStartFailed) return;
    // The turn stays queued for a running thread, or for the thread the next
    // delivery starts.
    std::lock_guard<std::mutex> guard(g_mutex);
    g_alive -= 1;
}

void lumo_callback_pool_release_idle() noexcept {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_release += 1;
    g_turns.notify_all();
}

std::int32_t lumo_callback_pool_threads() noexcept {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_alive;
}

}  // namespace vavevar
