// Helpers for tests that coordinate threads: wait for an observable state
// instead of sleeping for a guessed time, and measure elapsed time.
#pragma once

#include <dirent.h>
#include <sched.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace vavevar::test {

// Polls `done` until it returns true; returns false when it has not after
// `limit`, so that a broken build fails instead of hanging. It yields between
// the first polls, for a quick hand-over, then sleeps briefly: on a loaded
// two-core machine a long wait must leave the processor to the threads it
// waits for.
template <typename Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (int polls = 0; !done(); ++polls) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (polls < 100) sched_yield();
        else std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Milliseconds since construction, on the monotonic clock.
class Stopwatch {
public:
    std::int64_t ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The slack allowed above a time-out on a loaded two-core machine (sanitizer
// builds included). Lower bounds are asserted exactly.
inline constexpr std::int64_t kLateMs = 2000;

// What must happen at once (a stop that cuts a pause short, a start that does
// not wait, a retry without back-off) may take this long on such a machine:
// still short of the one-second pauses whose absence those tests prove, which
// kLateMs would hide.
inline constexpr std::int64_t kPromptMs = 800;

// Entries of a directory such as /proc/self/task or /proc/self/fd.
inline int count_entries(const char *dir) {
    int count = 0;
    if (DIR *d = ::opendir(dir)) {
        while (::readdir(d) != nullptr) ++count;
        ::closedir(d);
    }
    return count;
}

// Waits for the entries of `dir` to come back to `expected` and returns the
// count then. A joined thread may take a moment to vanish from the task list,
// and the fake daemon closes its end of a connection on its own thread.
inline int settled_count(const char *dir, int expected) {
    wait_until([&] { return count_entries(dir) == expected; }, std::chrono::seconds(5));
    return count_entries(dir);
}

inline int settled_thread_count(int threads) { return settled_count("/proc/self/task", threads); }

inline int settled_fd_count(int fds) { return settled_count("/proc/self/fd", fds); }

}  // namespace vavevar::test
