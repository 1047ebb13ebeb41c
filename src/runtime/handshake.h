// The connect handshake that opens every connection to the daemon: the
// request, written into a buffer, and what the reply changes in the runtime.
// The receiver moves the bytes (receiver.cpp).
#pragma once

#include <cstddef>

#include "port/bytebuf.h"

struct lumo_runtime;

namespace vavevar {

// The form factor sent in the handshake: the whole content of
// home + "/lumo/conf/.formfactor", or "abc" when it cannot be read.
// Returns a heap block (release with lumo_free) and its length, or null when
// memory runs out.
char *lumo_handshake_form_factor(const char *home, std::size_t *length) noexcept;

// Appends the connect request for `runtime` to `out`. False when memory
// runs out (`out` is then as it was).
bool lumo_handshake_write(const lumo_runtime *runtime, ByteBuffer &out) noexcept;

// The reply was read, to its end or broken off: sets the runtime's handshake
// status bit and wakes whoever waits for it.
void lumo_handshake_answered(lumo_runtime *runtime) noexcept;

}  // namespace vavevar
