#include "runtime/send_budget.h"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <mutex>

#include "port/lock.h"
#include "port/monotonic_cond.h"

namespace vavevar {
namespace {

struct Budget {
    std::atomic<std::uint64_t> limit{kSendMaxBytesDefault};
    std::atomic<std::uint32_t> wait_ms{kSendWaitMsDefault};
    std::atomic<std::uint64_t> used{0};
    // Publishers inside a wait. A release reads it after giving its room
    // back and a waiter counts itself before it looks for room, both
    // sequentially consistent: either the release sees the waiter and wakes
    // it, or the waiter sees the room.
    std::atomic<std::int32_t> waiters{0};
    std::atomic<std::int32_t> closed{0};
    Lock *lock = nullptr;
    pthread_cond_t room;
    bool room_ok = false;
};

Budget g_budget;
std::once_flag g_budget_once;

void wake_all() noexcept {
    LockGuard guard(g_budget.lock);
    pthread_cond_broadcast(&g_budget.room);
}

bool fits(std::uint64_t used, std::uint64_t bytes, std::uint64_t limit) noexcept {
    return used == 0 || (bytes <= limit && used <= limit - bytes);
}

// One atomic addition on the way through (this runs for every publish). An
// addition that went past the bound is taken back as a release would be,
// waking whoever it may have turned away meanwhile; since another's addition
// on its way back may be what made this one fail, the room is looked at once
// more, without adding first.
bool try_take(std::uint64_t bytes) noexcept {
    const std::uint64_t limit = g_budget.limit.load(std::memory_order_relaxed);
    if (fits(g_budget.used.fetch_add(bytes), bytes, limit)) return true;
    g_budget.used.fetch_sub(bytes);
    if (g_budget.waiters.load() > 0) wake_all();
    std::uint64_t used = g_budget.used.load();
    while (fits(used, bytes, limit))
        if (g_budget.used.compare_exchange_weak(used, used + bytes)) return true;
    return false;
}

}  // namespace

bool lumo_send_budget_prepare() noexcept {
    std::call_once(g_budget_once, [] {
        g_budget.lock = lumo_lock_create();
        g_budget.room_ok = lumo_monotonic_cond_init(&g_budget.room);
    });
    return g_budget.lock != nullptr && g_budget.room_ok;
}

void lumo_send_budget_configure(std::uint64_t max_bytes, std::uint32_t wait_ms) noexcept {
    g_budget.limit.store(max_bytes > 0 ? max_bytes : 1);
    g_budget.wait_ms.store(wait_ms < kSendWaitMsMax ? wait_ms : kSendWaitMsMax);
}

std::uint64_t lumo_send_budget_limit() noexcept { return g_budget.limit.load(); }

std::uint32_t lumo_send_budget_wait_ms() noexcept { return g_budget.wait_ms.load(); }

void lumo_send_budget_open() noexcept { g_budget.closed.store(0); }

void lumo_send_budget_close() noexcept {
    // Marked before the broadcast, which a waiter can only miss by not yet
    // waiting; it then sees the mark under the lock.
    g_budget.closed.store(1);
    if (lumo_send_budget_prepare()) wake_all();
}

Room lumo_send_budget_take(std::uint64_t bytes) noexcept {
    if (try_take(bytes)) return Room::taken;
    const std::uint32_t wait_ms = g_budget.wait_ms.load(std::memory_order_relaxed);
    if (wait_ms == 0) return Room::full;
    if (!lumo_send_budget_prepare()) return Room::full;
    const timespec deadline = lumo_monotonic_deadline(wait_ms);
    Room result = Room::full;
    LockGuard guard(g_budget.lock);
    g_budget.waiters.fetch_add(1);
    for (;;) {
        if (try_take(bytes)) {
            result = Room::taken;
            break;
        }
        if (g_budget.closed.load() != 0) {
            result = Room::closed;
            break;
        }
        if (pthread_cond_timedwait(&g_budget.room, g_budget.lock->native(), &deadline) == ETIMEDOUT) {
            if (try_take(bytes)) result = Room::taken;
            break;
        }
    }
    g_budget.waiters.fetch_sub(1);
    return result;
}

void lumo_send_budget_give_back(std::uint64_t bytes) noexcept {
    if (bytes == 0) return;
    g_budget.used.fetch_sub(bytes);
    if (g_budget.waiters.load() > 0) wake_all();
}

std::uint64_t lumo_send_budget_used() noexcept { return g_budget.used.load(); }

}  // namespace vavevar
