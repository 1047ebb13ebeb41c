#include "port/socket_connect.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>

namespace vavevar {
namespace {

bool set_blocking(int socket, bool blocking) {
    int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0) return false;
    flags = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    return ::fcntl(socket, F_SETFL, flags) == 0;
}

// Waits for a connect in progress to end. A blocking connect would not notice
// a shutdown made before it began; this wait does, since a socket shut down
// both ways reports a hang-up whatever its state.
std::int32_t finish_connect(int socket) {
    pollfd watched{socket, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&watched, 1, -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return errno;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    if (error != 0) return error;
    // A shutdown that ended the wait need not leave an error behind: only a
    // peer address proves the connection was made.
    sockaddr_storage peer;
    socklen_t peer_length = sizeof peer;
    if (::getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &peer_length) != 0) return errno;
    return 0;
}

}  // namespace

std::int32_t lumo_socket_connect(std::int32_t socket, const sockaddr *address,
                                 socklen_t length) noexcept {
    if (!set_blocking(socket, false)) return errno;
    std::int32_t result = 0;
    // Interrupted, a connect goes on in the background: wait for it as for
    // one in progress.
    if (::connect(socket, address, length) != 0)
        result = errno == EINPROGRESS || errno == EINTR ? finish_connect(socket) : errno;
    if (!set_blocking(socket, true) && result == 0) result = errno;
    return result;
}

}  // namespace vavevar
