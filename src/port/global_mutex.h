// The machine-wide mutex "ixoglobal", which serialises the library's set-up
// and tear-down across every thread of every process on the machine.
//
// It is an exclusive flock on one file. Each take opens the file anew, so two
// threads of one process exclude each other as two processes do, and the
// kernel drops the lock of a process that dies, so a crashed holder never
// wedges the others.
#pragma once

namespace vavevar {

inline constexpr const char *kGlobalMutexPath = "/tmp/ixoglobal.lock";

// One holding of the mutex; released at the latest when the object goes.
class GlobalMutex {
public:
    GlobalMutex() = default;
    ~GlobalMutex() { release(); }
    GlobalMutex(const GlobalMutex &) = delete;
    GlobalMutex &operator=(const GlobalMutex &) = delete;

    // Blocks until this object holds the mutex. Returns false, holding
    // nothing, when the lock file cannot be opened or locked. REQUIRES: !held().
    bool take(const char *path = kGlobalMutexPath) noexcept;

    // As take, but returns false at once when someone else holds the mutex.
    bool try_take(const char *path = kGlobalMutexPath) noexcept;

    // Releases the mutex and closes the file; does nothing when not held.
    void release() noexcept;

    bool held() const noexcept { return fd_ >= 0; }

private:
    bool acquire(const char *path, int operation) noexcept;

    int fd_ = -1;
};

}  // namespace vavevar
