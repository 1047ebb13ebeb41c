// Connecting a socket in a way that another thread can cut short.
#pragma once

#include <sys/socket.h>

#include <cstdint>

namespace vavevar {

// Connects `socket` (fresh from socket()) to `address` and returns 0, or the
// errno value of the failure. A connect to a listener whose backlog is full,
// or whose packets are dropped, may otherwise wait minutes for the system's
// time-out; here a shutdown of the socket from another thread makes it fail
// at once, also when the shutdown came before this call. The socket is left
// blocking.
std::int32_t lumo_socket_connect(std::int32_t socket, const sockaddr *address,
                                 socklen_t length) noexcept;

}  // namespace vavevar
