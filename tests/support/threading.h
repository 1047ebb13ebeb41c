// Waiting for an observable state instead of sleeping a guessed time, and
// the clock and slack that timed tests use.
#pragma once

#include <dirent.h>
#include <sched.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace vavevar::test {

// False when `done` is still false after `limit`, so that a broken build
// fails instead of hanging. After a few quick yields it sleeps: on a loaded
// two-core machine a long wait must leave the processor to those it waits for.
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

inline int count_entries(const char *dir) {
    int count = 0;
    if (DIR *d = ::opendir(dir)) {
        while (::readdir(d) != nullptr) ++count;
        ::closedir(d);
    }
    return count;
}

// The entries of `dir` once back at `expected` (or after 5 s): a joined thread
// may take a moment to leave the task list, and the fake daemon closes its end
// of a connection on its own thread.
inline int settled_count(const char *dir, int expected) {
    wait_until([&] { return count_entries(dir) == expected; }, std::chrono::seconds(5));
    return count_entries(dir);
}

inline int settled_thread_count(int threads) { return settled_count("/proc/self/task", threads); }

inline int settled_fd_count(int fds) { return settled_count("/proc/self/fd", fds); }

}  // namespace vavevar::test
