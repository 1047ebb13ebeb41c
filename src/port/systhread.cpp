#include "port/systhread.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <ctime>

#include "port/memory.h"

namespace vavevar {
namespace {

// What the new thread is to run; the thread releases it before running it.
struct Trampoline {
    void (*routine)(void *);
    void *arg;
};

void *run_trampoline(void *raw) {
    Trampoline start = *static_cast<Trampoline *>(raw);
    lumo_free(raw);
    start.routine(start.arg);
    return nullptr;
}

}  // namespace

void lumo_sleep(std::uint32_t ms) noexcept {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uintptr_t lumo_thread_start(void (*routine)(void *), void *arg) noexcept {
    auto *start = static_cast<Trampoline *>(lumo_malloc(sizeof(Trampoline)));
    if (start == nullptr) return kThreadStartFailed;
    start->routine = routine;
    start->arg = arg;

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        lumo_free(start);
        return kThreadStartFailed;
    }
    pthread_t thread;
    int rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0) rc = pthread_create(&thread, &attr, run_trampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        lumo_free(start);
        return kThreadStartFailed;
    }
    return static_cast<std::uintptr_t>(thread);
}

}  // namespace vavevar
