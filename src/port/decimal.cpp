#include "port/decimal.h"

#include <cctype>
#include <climits>
#include <cstdlib>

namespace vavevar {

std::int32_t lumo_wire_atoi(const char *text) noexcept {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

std::int64_t lumo_wire_extract_number(const char *text) noexcept {
    const char *digits = text;
    while (*digits != '\0' && !std::isdigit(static_cast<unsigned char>(*digits))) ++digits;
    if (*digits == '\0') return 0;
    bool negative = digits > text && digits[-1] == '-';
    std::uint64_t magnitude = 0;
    constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(INT64_MAX);
    for (; std::isdigit(static_cast<unsigned char>(*digits)); ++digits) {
        unsigned digit = static_cast<unsigned>(*digits - '0');
        magnitude = magnitude > (kLimit - digit) / 10 ? kLimit : magnitude * 10 + digit;
    }
    std::int64_t value = static_cast<std::int64_t>(magnitude);
    return negative ? -value : value;
}

}  // namespace vavevar
