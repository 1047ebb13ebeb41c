// Exported condition-variable and thread entry points. The variable itself is
// checked inside the condition operations (except by init), because the
// library's own half-built records hand them variables whose init failed;
// everything else is checked here.
#include "port/cond.h"
#include "port/systhread.h"
#include "port/thread.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT int32_t lumox_win32_cond_init(lumox_win32_cond_t *cond) noexcept {
    if (cond == nullptr) return -1;
    return v::lumox_win32_cond_init(cond);
}

LUMO_EXPORT void lumox_win32_cond_destroy(lumox_win32_cond_t *cond) noexcept {
    v::lumox_win32_cond_destroy(cond);
}

LUMO_EXPORT void lumox_win32_cond_wait(lumox_win32_cond_t *cond, pthread_mutex_t *mutex) noexcept {
    if (mutex == nullptr) return;
    v::lumox_win32_cond_wait(cond, mutex);
}

LUMO_EXPORT int32_t lumox_win32_cond_timedwait(lumox_win32_cond_t *cond, pthread_mutex_t *mutex,
                                               uint32_t timeoutMs) noexcept {
    if (mutex == nullptr) return 1;
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
    if (routine == nullptr) return nullptr;
    return v::lumox_win32_thread_createattached(routine, arg);
}

LUMO_EXPORT uintptr_t lumox_win32_thread_createdetached(void (*routine)(void *),
                                                        void *arg) noexcept {
    if (routine == nullptr) return v::kThreadStartFailed;
    return v::lumox_win32_thread_createdetached(routine, arg);
}

LUMO_EXPORT void lumox_win32_thread_join(lumox_win32_thread_t *thread, void **result) noexcept {
    if (thread == nullptr) {
        if (result != nullptr) *result = nullptr;
        return;
    }
    v::lumox_win32_thread_join(thread, result);
}

}  // extern "C"
