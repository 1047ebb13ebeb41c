#include "port/lock.h"

#include <cstring>

#include "port/memory.h"

namespace vavevar {

Lock *lumo_lock_create() noexcept {
    auto *lock = static_cast<Lock *>(lumo_malloc(sizeof(Lock)));
    if (lock == nullptr) return nullptr;
    std::memset(static_cast<void *>(lock), 0, sizeof(Lock));
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    if (ok) {
        ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
             pthread_mutex_init(lock->native(), &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!ok) {
        lumo_free(lock);
        return nullptr;
    }
    return lock;
}

void lumo_lock_destroy(Lock *lock) noexcept {
    if (lock == nullptr) return;
    pthread_mutex_destroy(lock->native());
    lumo_free(lock);
}

}  // namespace vavevar
