// Exported condition-variable and thread entry points.
#include "port/cond.h"
#include "port/thread.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT int32_t lumox_win32_cond_init(lumox_win32_cond_t *cond) noexcept {
    return v::lumox_win32_cond_init(cond);
}

LUMO_EXPORT void lumox_win32_cond_destroy(lumox_win32_cond_t *cond) noexcept {
    v::lumox_win32_cond_destroy(cond);
}

LUMO_EXPORT void lumox_win32_cond_wait(lumox_win32_cond_t *cond, pthread_mutex_t *mutex) noexcept {
    v::lumox_win32_cond_wait(cond, mutex);
}

LUMO_EXPORT int32_t lumox_win32_cond_timedwait(lumox_win32_cond_t *cond, pthread_mutex_t *mutex,
                                               uint32_t timeoutMs) noexcept {
    return v::lumox_win32_cond_timedwait(cond, mutex, timeoutMs);
}

LUMO_EXPORT void lumox_win32_cond_signal(lumox_win32_cond_t *cond) noexcept {
    v::lumox_win32_cond_signal(cond);
}

LUMO_EXPORT void lumox_win32_cond_broadcast(lumox_win32_cond_t *cond) noexcept {
    v::lumox_win32_cond_broadcast(cond);
}

LUMO_EXPORT lumox_win32_thread_t *lumox_win32_thread_createattached(void (*routine)(void *),
                                                                   void *arg) noexcept {
    return v::lumox_win32_thread_createattached(routine, arg);
}

LUMO_EXPORT uintptr_t lumox_win32_thread_createdetached(void (*routine)(void *),
                                                        void *arg) noexcept {
    return v::lumox_win32_thread_createdetached(routine, arg);
}

LUMO_EXPORT void lumox_win32_thread_join(lumox_win32_thread_t *thread, void **result) noexcept {
    v::lumox_win32_thread_join(thread, result);
}

}  // extern "C"
