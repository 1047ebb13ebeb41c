// The mutex "ixoglobal", which serialises the library's set-up and tear-down
// across every thread of every process of one user.
//
// It is an exclusive flock on one file in a directory of that user's own,
// /tmp/vavevar-<euid>/ (mode 0700), so that no other user can hold it, or
// plant a link, a FIFO or a file of theirs in its place. Each take opens the
// file anew, so two threads of one process exclude each other as two
// processes do, and the kernel drops the lock of a process that dies, so a
// crashed holder never wedges the others. Processes of different users do
// not exclude each other: they never share a runtime.
#pragma once

#include <cstdint>

namespace vavevar {

// How long a take waits for another holder before it gives up, by default;
// VAVEVAR_LOCK_WAIT_MS sets another bound (read at each take).
inline constexpr std::uint32_t kGlobalMutexWaitMs = 30000;

inline constexpr const char *kGlobalMutexFile = "ixoglobal.lock";

// One holding of the mutex; released at the latest when the object goes.
class GlobalMutex {
public:
    GlobalMutex() = default;
    ~GlobalMutex() { release(); }
    GlobalMutex(const GlobalMutex &) = delete;
    GlobalMutex &operator=(const GlobalMutex &) = delete;

    // Waits until this object holds the mutex, at most the bound above.
    // `dir` null: the user's own directory. The directory is created 0700
    // when missing; one that is not a directory of ours, closed to others,
    // is not used. Anything in the file's place that is not a regular file
    // of ours is removed first. Returns false, holding nothing and saying
    // why on standard error, when the directory cannot be used, the file
    // cannot be made or locked, or the wait ran out. REQUIRES: !held().
    bool take(const char *dir = nullptr) noexcept;

    // As take, but returns false at once, silently, while someone else holds
    // the mutex.
    bool try_take(const char *dir = nullptr) noexcept;

    // Releases the mutex and closes the file; does nothing when not held.
    void release() noexcept;

    bool held() const noexcept { return fd_ >= 0; }

private:
    bool acquire(const char *dir, bool wait) noexcept;

    int fd_ = -1;
};

// The user's own directory for the mutex: /tmp/vavevar-<euid>.
void lumo_global_mutex_default_dir(char *into, unsigned size) noexcept;

}  // namespace vavevar
