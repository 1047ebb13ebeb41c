#include "log.h"

#include "clock.h"
#include "safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace vavevard {
namespace {

// Atomic because in-process tests set the level from the test thread while a
// daemon runs on another.
std::atomic<LogLevel> g_level{LogLevel::info};

std::atomic<bool> g_journal{false};

constexpr const char *kLevelNames[] = {"ERROR", "WARN", "INFO", "DEBUG"};
constexpr const char *kPriorities[] = {"<3>", "<4>", "<6>", "<7>"};

}  // namespace

void set_log_level(LogLevel level) noexcept { g_level.store(level, std::memory_order_relaxed); }

LogLevel log_level() noexcept { return g_level.load(std::memory_order_relaxed); }

namespace {
// As options and configuration files name the levels.
constexpr std::string_view kLevelWords[] = {"error", "warn", "info", "debug"};
}  // namespace

std::string_view log_level_name(LogLevel level) noexcept { return kLevelWords[static_cast<int>(level)]; }

bool parse_log_level(std::string_view text, LogLevel &level) noexcept {
    for (int i = 0; i < 4; ++i) {
        if (text == kLevelWords[i]) {
            level = static_cast<LogLevel>(i);
            return true;
        }
    }
    return false;
}

void log_line(LogLevel level, std::string_view text) noexcept {
    if (level > log_level()) return;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char stamp[128];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ vavevard[%ld] %s: ",
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, now.tv_nsec / 1000000, static_cast<long>(::getpid()),
                  kLevelNames[static_cast<int>(level)]);
    try {
        std::string line;
        if (g_journal.load(std::memory_order_relaxed)) line = kPriorities[static_cast<int>(level)];
        line.append(stamp);
        line.append(text);
        line.push_back('\n');
        std::size_t done = 0;
        while (done < line.size()) {
            ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    } catch (...) {
        // Out of memory while logging: the line is lost, the daemon goes on.
    }
}

void set_journal_priorities(bool on) noexcept { g_journal.store(on, std::memory_order_relaxed); }

bool stderr_is_journal(const char *journalStream) noexcept {
    if (journalStream == nullptr || *journalStream == '\0') return false;
    unsigned long long device = 0, inode = 0;
    char end = 0;
    if (std::sscanf(journalStream, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

bool open_log_file(const std::string &path, std::string &error) {
    std::string why;
    int fd = open_for_append(path, 0640, why);
    if (fd < 0) {
        error = "cannot open the log file " + path + ": " + why;
        return false;
    }
    bool ok = ::dup2(fd, STDERR_FILENO) == STDERR_FILENO;
    if (!ok) error = "cannot log to " + path + ": " + std::strerror(errno);
    ::close(fd);
    return ok;
}

void logf(LogLevel level, const char *format, ...) noexcept {
    if (level > log_level()) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_line(level, text);
}

void LogLimiter::logf(LogLevel level, const char *format, ...) noexcept {
    if (level > log_level()) return;
    std::int64_t now = mono_ms();
    if (written_ == 0 || now - windowStartMs_ >= windowMs_) {
        windowStartMs_ = now;
        written_ = 0;
    }
    if (written_ >= burst_) {
        ++held_;
        ++suppressedTotal_;
        return;
    }
    ++written_;
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (held_ != 0 && n >= 0 && static_cast<std::size_t>(n) < sizeof text)
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n),
                      " (%llu more like this not logged)", static_cast<unsigned long long>(held_));
    held_ = 0;
    log_line(level, text);
}

}  // namespace vavevard
