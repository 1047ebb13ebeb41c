// What the benchmarks that run their parties as processes of their own share:
// a driver starts copies of itself in a role, the children say what they
// measured on one line of standard output each, and the driver reads it.
#pragma once

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace vavevar::bench {

// The monotonic clock in nanoseconds: one clock for every process of the
// machine, so a publisher's and a subscriber's times compare.
inline std::int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The user + system time this process (all its threads) has had, in
// nanoseconds; finer than the clock ticks of /proc/PID/stat.
inline std::int64_t own_cpu_ns() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto ns = [](const timeval &tv) {
        return static_cast<std::int64_t>(tv.tv_sec) * 1'000'000'000 +
               static_cast<std::int64_t>(tv.tv_usec) * 1000;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

// The time on a CPU of every thread `pid` now has, in nanoseconds, from
// /proc/PID/task/*/schedstat: finer than the 10 ms ticks of /proc/PID/stat,
// which would round a server's share of a short phase away. Threads that
// ended meanwhile are missing from it.
inline std::int64_t threads_cpu_ns(pid_t pid) {
    std::int64_t total = 0;
    std::error_code error;
    for (const auto &task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        std::int64_t onCpu = 0;
        if (schedstat >> onCpu) total += onCpu;
    }
    return total;
}

// Set by each program's main, so that a child's complaint says who made it.
inline const char *program_name = "bench";

[[noreturn]] inline void die(const std::string &what) {
    std::fprintf(stderr, "%s: %s\n", program_name, what.c_str());
    std::exit(1);
}

// One line to the driver, at once: it is waiting for it.
inline void say(const std::string &line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

inline std::string expect_line(vavevar::test::ChildProcess &child, const std::string &what,
                               int waitMs) {
    std::string line;
    if (!child.read_stdout_line(line, waitMs)) die(what + " failed: " + child.stderr_);
    return line;
}

inline long number(const char *text, const char *what) {
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1)
        die(std::string("invalid ") + what + " '" + text + "'");
    return value;
}

// The path of this program, for starting copies of it.
inline std::string self_path() {
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) die("cannot find this program's path");
    return std::string(self, static_cast<std::size_t>(n));
}

// The value below which a fraction `q` of the sorted `values` lie.
template <typename T>
T quantile(const std::vector<T> &sorted, double q) {
    return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1))];
}

template <typename T>
T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    std::size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

}  // namespace vavevar::bench
