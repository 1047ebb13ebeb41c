#include "port/gate.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "port/memory.h"
#include "port/monotonic_cond.h"

// The record behind the exported tag of the condition variable's event.
struct lumox_win32_event {
    pthread_mutex_t mutex;
    pthread_cond_t cond;  // on CLOCK_MONOTONIC
    bool signalled;       // guarded by mutex
};

namespace vavevar {
namespace {

}  // namespace

lumo_gate *lumo_gate_create() noexcept {
    auto *gate = static_cast<lumo_gate *>(lumo_malloc(sizeof(lumo_gate)));
    if (gate == nullptr) return nullptr;
    gate->signalled = false;
    if (pthread_mutex_init(&gate->mutex, nullptr) != 0) {
        lumo_free(gate);
        return nullptr;
    }
    if (!lumo_monotonic_cond_init(&gate->cond)) {
        pthread_mutex_destroy(&gate->mutex);
        lumo_free(gate);
        return nullptr;
    }
    return gate;
}

void lumo_gate_destroy(lumo_gate *gate) noexcept {
    if (gate == nullptr) return;
    pthread_cond_destroy(&gate->cond);
    pthread_mutex_destroy(&gate->mutex);
    lumo_free(gate);
}

// Waking the waiters after letting go of the mutex spares each of them a
// second sleep on it. REQUIRES: the gate outlives the call, which a waiter
// that has seen the flag must not cut short by destroying it.
void lumo_gate_set(lumo_gate *gate) noexcept {
    pthread_mutex_lock(&gate->mutex);
    gate->signalled = true;
    pthread_mutex_unlock(&gate->mutex);
    pthread_cond_broadcast(&gate->cond);
}

void lumo_gate_reset(lumo_gate *gate) noexcept {
    pthread_mutex_lock(&gate->mutex);
    gate->signalled = false;
    pthread_mutex_unlock(&gate->mutex);
}

bool lumo_gate_wait(lumo_gate *gate, std::int64_t timeout_ms) noexcept {
    pthread_mutex_lock(&gate->mutex);
    if (timeout_ms < 0) {
        while (!gate->signalled) pthread_cond_wait(&gate->cond, &gate->mutex);
    } else if (timeout_ms > 0 && !gate->signalled) {
        timespec deadline = lumo_monotonic_deadline(timeout_ms);
        while (!gate->signalled) {
            if (pthread_cond_timedwait(&gate->cond, &gate->mutex, &deadline) == ETIMEDOUT) break;
        }
    }
    bool signalled = gate->signalled;
    pthread_mutex_unlock(&gate->mutex);
    return signalled;
}

}  // namespace vavevar
