// Diagnostics: plain lines on standard error, no prefix, time stamp or level.
#pragma once

namespace vavevar {

// Writes the formatted message (which carries its own "\n") to standard error
// and flushes it.
void lumo_log(const char *format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace vavevar
