// Text rendering of notifications for diagnostics.
#pragma once

#include <cstdint>

#include "vavevar.h"

namespace vavevar {

// How lumo_notification_toString shows the body.
enum BodyMode : std::int32_t {
    kBodyNone = 0,
    kBodyHex = 1,
    kBodyText = 2,
    kBodyBlockOrError = 3,
    kBodyBlockOrHex = 4,
};

// The header rows a notification's class calls for and, when `mode` asks for
// it and there is a body, the body section. A null notification gives
// "NOTIFICATION 0x0 (NULL)\n". The caller releases the text with lumo_free
// (plain free); null only when memory runs out for the text itself.
char *lumo_notification_toString(const lumo_notification *n, std::int32_t mode) noexcept;

// Writes the mode-0 text to standard error.
void lumo_notification_print(const lumo_notification *n) noexcept;

// The body bytes as lines of 32 bytes in lower-case hex, grouped by four, each
// line led by four spaces and ended by LF. Null when memory runs out.
char *lumo_hexdump(const char *bytes, std::int32_t length) noexcept;

}  // namespace vavevar
