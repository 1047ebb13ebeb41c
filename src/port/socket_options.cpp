#include "port/socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace vavevar {

// All are best effort: a socket that refuses them still works, only with
// the system's defaults.
void lumo_socket_linger(std::int32_t socket, std::int32_t seconds) noexcept {
    linger value{seconds > 0 ? 1 : 0, seconds > 0 ? seconds : 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

void lumo_socket_keepalive(std::int32_t socket) noexcept {
    int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

void lumo_socket_nodelay(std::int32_t socket) noexcept {
    int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace vavevar
