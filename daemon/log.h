// The daemon's own log: one line per message on standard error, with a time
// stamp and a level, so an operator can follow what happened to a client.
#pragma once

#include <string_view>

namespace vavevard {

enum class LogLevel { error = 0, warn = 1, info = 2, debug = 3 };

// Messages above this level are not written. Set once at start-up, before the
// daemon runs, and read by the event loop thread only.
void set_log_level(LogLevel level) noexcept;
LogLevel log_level() noexcept;

// Parses "error", "warn", "info" or "debug"; false for anything else.
bool parse_log_level(std::string_view text, LogLevel &level) noexcept;

// Writes "2025-01-31T12:00:00.123Z vavevard[pid] LEVEL: text" with one write
// call, so lines from several processes sharing a terminal never interleave.
void log_line(LogLevel level, std::string_view text) noexcept;

#if defined(__GNUC__)
#define VAVEVARD_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define VAVEVARD_PRINTF(a, b)
#endif

void logf(LogLevel level, const char *format, ...) noexcept VAVEVARD_PRINTF(2, 3);

}  // namespace vavevard
