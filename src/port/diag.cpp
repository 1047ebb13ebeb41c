#include "port/diag.h"

#include <cstdarg>
#include <cstdio>

namespace vavevar {

void lumo_log(const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

}  // namespace vavevar
