// The connect handshake that opens every connection to the daemon.
#pragma once

#include <cstddef>
#include <cstdint>

struct lumo_conn;
struct lumo_runtime;

namespace vavevar {

// The form factor sent in the handshake: the whole content of
// home + "/lumo/conf/.formfactor", or "abc" when it cannot be read.
// Returns a heap block (release with lumo_free) and its length, or null when
// memory runs out.
char *lumo_handshake_form_factor(const char *home, std::size_t *length) noexcept;

// Writes the connect request for `runtime` and reads the reply up to its
// empty line, taking the instance name from line 9. Sets the runtime's
// handshake status bit whatever the outcome. Returns true when the reply
// came whole and accepted the connection.
bool lumo_handshake(lumo_conn *conn, lumo_runtime *runtime) noexcept;

}  // namespace vavevar
