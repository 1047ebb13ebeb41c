// Growable text buffer used by the text renderings.
//
// The buffer is one heap block holding a NUL-terminated text and, at the first
// multiple of 8 above the text's length, a hidden 32-bit capacity word. The
// owner keeps a `char *` that starts out null, reads it as an ordinary string,
// lengthens it only through lumo_textbuf_printf and releases it with lumo_free.
#pragma once

#include <cstdint>

namespace vavevar {

inline constexpr std::uint32_t kTextbufStep = 1024;

// Appends printf-formatted text, creating the buffer when *text is null.
// Returns the new length of the whole text, or -1 when `text` is null or
// memory runs out (the text is then exactly as before).
std::int32_t lumo_textbuf_printf(char **text, const char *format, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// Reads the hidden capacity word of a non-null buffer.
std::uint32_t lumo_textbuf_capacity(const char *text) noexcept;

}  // namespace vavevar
