#include "port/cond.h"

#include "port/gate.h"
#include "port/lock.h"
#include "port/systhread.h"

namespace vavevar {
namespace {

bool usable(const lumox_win32_cond_t *cond) noexcept {
    return cond != nullptr && cond->lock != nullptr && cond->event != nullptr;
}

Lock *internal_lock(lumox_win32_cond_t *cond) noexcept { return Lock::from_native(cond->lock); }

// Counts the caller in as a waiter and returns the generation it waits from.
std::uint32_t register_waiter(lumox_win32_cond_t *cond) noexcept {
    LockGuard guard(internal_lock(cond));
    cond->waiters += 1;
    return cond->generation;
}

// True when a release is pending that this waiter may take: one given after
// it registered. The internal lock is held.
bool may_pass(const lumox_win32_cond_t *cond, std::uint32_t generation) noexcept {
    return cond->released > 0 && cond->generation != generation;
}

// Takes one release; the last one taken closes the gate again.
void consume_release(lumox_win32_cond_t *cond) noexcept {
    cond->released -= 1;
    if (cond->released == 0) lumo_gate_reset(cond->event);
}

}  // namespace

std::int32_t lumox_win32_cond_init(lumox_win32_cond_t *cond) noexcept {
    cond->waiters = 0;
    cond->released = 0;
    cond->generation = 0;
    cond->lock = nullptr;
    cond->event = nullptr;
    Lock *lock = lumo_lock_create();
    if (lock == nullptr) return -1;
    lumo_gate *gate = lumo_gate_create();
    if (gate == nullptr) {
        lumo_lock_destroy(lock);
        return -1;
    }
    cond->lock = lock->native();
    cond->event = gate;
    return 0;
}

void lumox_win32_cond_destroy(lumox_win32_cond_t *cond) noexcept {
    if (!usable(cond)) return;
    lumo_gate_destroy(cond->event);
    lumo_lock_destroy(internal_lock(cond));
    cond->event = nullptr;
    cond->lock = nullptr;
}

void lumox_win32_cond_wait(lumox_win32_cond_t *cond, pthread_mutex_t *mutex) noexcept {
    if (!usable(cond)) return;
    std::uint32_t generation = register_waiter(cond);
    pthread_mutex_unlock(mutex);
    for (;;) {
        lumo_gate_wait(cond->event, -1);
        {
            LockGuard guard(internal_lock(cond));
            if (may_pass(cond, generation)) {
                cond->waiters -= 1;
                consume_release(cond);
                break;
            }
        }
        // The gate is still open for waiters of an earlier generation; let
        // them take their releases and close it.
        lumo_sleep(0);
    }
    pthread_mutex_lock(mutex);
}

std::int32_t lumox_win32_cond_timedwait(lumox_win32_cond_t *cond, pthread_mutex_t *mutex,
                                        std::uint32_t timeout_ms) noexcept {
    if (!usable(cond)) return 1;
    std::uint32_t generation = register_waiter(cond);
    pthread_mutex_unlock(mutex);
    bool timed_out;
    for (;;) {
        // Whatever ends this wait, the decision is taken from the state below.
        lumo_gate_wait(cond->event, timeout_ms);
        {
            LockGuard guard(internal_lock(cond));
            bool signalled = lumo_gate_wait(cond->event, 0);
            if (!signalled) {
                // Nothing is pending, so `released` is 0 and stays untouched:
                // no later signal is counted for this waiter.
                cond->waiters -= 1;
                timed_out = true;
                break;
            }
            if (may_pass(cond, generation)) {
                cond->waiters -= 1;
                consume_release(cond);
                timed_out = false;
                break;
            }
        }
        lumo_sleep(0);
    }
    pthread_mutex_lock(mutex);
    return timed_out ? 1 : 0;
}

void lumox_win32_cond_signal(lumox_win32_cond_t *cond) noexcept {
    if (!usable(cond)) return;
    LockGuard guard(internal_lock(cond));
    if (cond->waiters > cond->released) {
        lumo_gate_set(cond->event);
        cond->released += 1;
        cond->generation += 1;
    }
}

void lumox_win32_cond_broadcast(lumox_win32_cond_t *cond) noexcept {
    if (!usable(cond)) return;
    LockGuard guard(internal_lock(cond));
    if (cond->waiters > 0) {
        lumo_gate_set(cond->event);
        cond->generation += 1;
        cond->released = cond->waiters;
    }
}

}  // namespace vavevar
