// Decimal conversions for numbers that come from outside: the daemon's
// headers and the environment. Neither ever fails or overflows.
#pragma once

#include <cstdint>

namespace vavevar {

// Leading white space and a sign allowed, stops at the first non-digit, 0
// without a number; values beyond 32 bits are clamped to the nearest limit.
std::int32_t lumo_wire_atoi(const char *text) noexcept;

// The first run of decimal digits anywhere in `text`, negative when a '-'
// stands right before it, 0 without digits; clamped to 64 bits.
std::int64_t lumo_wire_extract_number(const char *text) noexcept;

}  // namespace vavevar
