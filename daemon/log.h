// The daemon's own log: one line per message on standard error, with a time
// stamp and a level, so an operator can follow what happened to a client.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vavevard {

enum class LogLevel { error = 0, warn = 1, info = 2, debug = 3 };

// Messages above this level are not written. Set once at start-up, before the
// daemon runs, and read by the event loop thread only.
void set_log_level(LogLevel level) noexcept;
LogLevel log_level() noexcept;

// Parses "error", "warn", "info" or "debug"; false for anything else.
bool parse_log_level(std::string_view text, LogLevel &level) noexcept;
// The name parse_log_level takes for `level`.
std::string_view log_level_name(LogLevel level) noexcept;

// Writes "2025-01-31T12:00:00.123Z vavevard[pid] LEVEL: text" with one write
// call, so lines from several processes sharing a terminal never interleave.
// With journal priorities on, the line starts with "<3>" for errors, "<4>"
// for warnings, "<6>" for information and "<7>" for debugging.
void log_line(LogLevel level, std::string_view text) noexcept;

// Whether lines carry journal priority prefixes; see stderr_is_journal().
void set_journal_priorities(bool on) noexcept;

// Whether standard error is the stream `journalStream` ("device:inode", as
// the service manager sets JOURNAL_STREAM) names; false for null or "".
bool stderr_is_journal(const char *journalStream) noexcept;

// Points standard error at the end of `path` (created, mode 0640, if
// missing; never a symbolic link or anything but a regular file), so that
// the log and anything else written there land in the file; called again to
// reopen it after it was rotated. False with `error` set, standard error
// unchanged, when it cannot be opened.
bool open_log_file(const std::string &path, std::string &error);

#if defined(__GNUC__)
#define VAVEVARD_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define VAVEVARD_PRINTF(a, b)
#endif

void logf(LogLevel level, const char *format, ...) noexcept VAVEVARD_PRINTF(2, 3);

// Keeps one recurring condition (out of descriptors, connections refused,
// malformed requests) from flooding the log and the disk under it: at most
// `burst` lines per window; the lines over that are counted, and the count is
// told with the next line written.
class LogLimiter {
public:
    explicit LogLimiter(int burst = 5, std::int64_t windowMs = 10000) noexcept
        : burst_(burst), windowMs_(windowMs) {}

    void logf(LogLevel level, const char *format, ...) noexcept VAVEVARD_PRINTF(3, 4);

    std::uint64_t suppressed() const noexcept { return suppressedTotal_; }

private:
    int burst_;
    std::int64_t windowMs_;
    std::int64_t windowStartMs_ = 0;
    int written_ = 0;
    std::uint64_t held_ = 0;             // suppressed since the last line written
    std::uint64_t suppressedTotal_ = 0;
};

}  // namespace vavevard
