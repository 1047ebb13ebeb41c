// The socket options the daemon link relies on.
#pragma once

#include <cstdint>

namespace vavevar {

// Makes a close wait up to `seconds` for unsent data to be taken. Zero
// switches lingering off: the close returns at once and the kernel still
// delivers what was queued in the background.
void lumo_socket_linger(std::int32_t socket, std::int32_t seconds) noexcept;

// Has the kernel probe an idle connection, so that a peer that vanished
// without closing is eventually noticed.
void lumo_socket_keepalive(std::int32_t socket) noexcept;

// Sends small writes at once instead of holding them until earlier bytes
// are acknowledged: the sender already gathers what is queued into large
// writes, and a lone notification should not wait for a delayed ack.
void lumo_socket_nodelay(std::int32_t socket) noexcept;

}  // namespace vavevar
