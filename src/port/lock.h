// The library's lock type: a recursive mutex on the heap, so that a thread
// holding it may take it again (every lock of the library allows that), with
// an RAII guard. Condition waits take the underlying pthread_mutex_t.
#pragma once

#include <pthread.h>

#include "port/thread_annotations.h"

namespace vavevar {

class LUMO_CAPABILITY("mutex") Lock {
public:
    void lock() noexcept LUMO_ACQUIRE() { pthread_mutex_lock(&mutex_); }
    void unlock() noexcept LUMO_RELEASE() { pthread_mutex_unlock(&mutex_); }

    // The mutex to hand to a condition wait, which releases it while sleeping.
    pthread_mutex_t *native() noexcept { return &mutex_; }

    // The lock whose native() is `mutex`; only for mutexes made by lumo_lock_create.
    static Lock *from_native(pthread_mutex_t *mutex) noexcept {
        return reinterpret_cast<Lock *>(mutex);
    }

private:
    pthread_mutex_t mutex_;  // the only member, so Lock and its mutex share an address
};

// Returns a new unlocked recursive lock, or null when memory runs out.
Lock *lumo_lock_create() noexcept;

// Releases a lock that no thread holds; null is ignored.
void lumo_lock_destroy(Lock *lock) noexcept;

// Holds a lock for the lifetime of the guard.
class LUMO_SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(Lock *lock) noexcept LUMO_ACQUIRE(lock) : lock_(lock) { lock_->lock(); }
    ~LockGuard() LUMO_RELEASE() { lock_->unlock(); }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    Lock *lock_;
};

}  // namespace vavevar
