#pragma once

#include <cstdint>

namespace vavevar {

// Writes `value` in decimal ("-" for negatives, no leading zeros, "0" for
// zero) and a NUL into `buffer`, which must hold at least 12 bytes. Returns a
// pointer to the NUL so that calls can be chained.
char *lumo_itoa(char *buffer, std::int32_t value) noexcept;

}  // namespace vavevar
