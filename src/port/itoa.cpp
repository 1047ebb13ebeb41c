#include "port/itoa.h"

namespace vavevar {

char *lumo_itoa(char *buffer, std::int32_t value) noexcept {
    char *out = buffer;
    // Work on the magnitude as unsigned so that the smallest value has one.
    std::uint32_t magnitude = static_cast<std::uint32_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0u - magnitude;
    }
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0u);
    while (count > 0) *out++ = digits[--count];
    *out = '\0';
    return out;
}

}  // namespace vavevar
