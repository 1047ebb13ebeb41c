#include "port/event.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "port/memory.h"

struct lumox_win32_event {
    pthread_mutex_t mutex;
    pthread_cond_t cond;  // on CLOCK_MONOTONIC
    bool signalled;       // guarded by mutex
};

namespace vavevar {
namespace {

timespec deadline_after(std::int64_t timeout_ms) noexcept {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::int64_t nanos = now.tv_nsec + (timeout_ms % 1000) * 1000000;
    now.tv_sec += static_cast<time_t>(timeout_ms / 1000 + nanos / 1000000000);
    now.tv_nsec = static_cast<long>(nanos % 1000000000);
    return now;
}

bool init_cond(pthread_cond_t *cond) noexcept {
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0) return false;
    bool ok = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
              pthread_cond_init(cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    return ok;
}

}  // namespace

lumox_win32_event *lumo_event_create() noexcept {
    auto *event = static_cast<lumox_win32_event *>(lumo_malloc(sizeof(lumox_win32_event)));
    if (event == nullptr) return nullptr;
    event->signalled = false;
    if (pthread_mutex_init(&event->mutex, nullptr) != 0) {
        lumo_free(event);
        return nullptr;
    }
    if (!init_cond(&event->cond)) {
        pthread_mutex_destroy(&event->mutex);
        lumo_free(event);
        return nullptr;
    }
    return event;
}

void lumo_event_destroy(lumox_win32_event *event) noexcept {
    if (event == nullptr) return;
    pthread_cond_destroy(&event->cond);
    pthread_mutex_destroy(&event->mutex);
    lumo_free(event);
}

// Waking the waiters after letting go of the mutex spares each of them a
// second sleep on it. REQUIRES: the event outlives the call, which a waiter
// that has seen the flag must not cut short by destroying it.
void lumo_event_set(lumox_win32_event *event) noexcept {
    pthread_mutex_lock(&event->mutex);
    event->signalled = true;
    pthread_mutex_unlock(&event->mutex);
    pthread_cond_broadcast(&event->cond);
}

void lumo_event_reset(lumox_win32_event *event) noexcept {
    pthread_mutex_lock(&event->mutex);
    event->signalled = false;
    pthread_mutex_unlock(&event->mutex);
}

bool lumo_event_wait(lumox_win32_event *event, std::int64_t timeout_ms) noexcept {
    pthread_mutex_lock(&event->mutex);
    if (timeout_ms < 0) {
        while (!event->signalled) pthread_cond_wait(&event->cond, &event->mutex);
    } else if (timeout_ms > 0 && !event->signalled) {
        timespec deadline = deadline_after(timeout_ms);
        while (!event->signalled) {
            if (pthread_cond_timedwait(&event->cond, &event->mutex, &deadline) == ETIMEDOUT) break;
        }
    }
    bool signalled = event->signalled;
    pthread_mutex_unlock(&event->mutex);
    return signalled;
}

}  // namespace vavevar
