// Who owns a TCP socket of this kernel, found by its addresses through the
// socket-diagnostics netlink interface. The daemon asks it about its clients,
// the library about the daemon; neither may believe what the other end says
// about itself.
//
// Its own small target, shared by the library and the daemon: it needs libc
// alone, throws nothing and allocates nothing. One query object keeps one
// netlink socket open for its life; it is not thread-safe.
#pragma once

#include <sys/socket.h>

#include <cstdint>

namespace vavevar {

enum class SocketOwnerStatus {
    found,           // the kernel named the socket
    no_such_socket,  // the kernel has no socket there: gone, or not of this machine
    unknown,         // the kernel could not be asked, or did not answer in time
};

struct SocketOwner {
    SocketOwnerStatus status = SocketOwnerStatus::unknown;
    std::uint32_t uid = 0;
    // 0 when no process holds the socket: a connection still waiting to be
    // accepted, or one already closed and finishing. Some kernels then report
    // uid 0 whoever made it.
    std::uint64_t inode = 0;
    std::uint8_t state = 0;  // TCP state as the kernel numbers it (10: listening)
};

inline constexpr std::uint8_t kTcpStateListen = 10;

class SocketOwnerQuery {
public:
    SocketOwnerQuery() noexcept;
    ~SocketOwnerQuery();
    SocketOwnerQuery(SocketOwnerQuery &&other) noexcept;
    SocketOwnerQuery &operator=(SocketOwnerQuery &&other) noexcept;
    SocketOwnerQuery(const SocketOwnerQuery &) = delete;
    SocketOwnerQuery &operator=(const SocketOwnerQuery &) = delete;

    // False when the netlink socket could not be had: every query is unknown.
    bool available() const noexcept { return netlink_ >= 0; }

    // The connected TCP socket whose own end is `own` and whose remote end is
    // `remote` (IPv4 or IPv6; IPv4-mapped IPv6 addresses are taken as IPv4,
    // as the kernel keeps such connections). A listener that merely shares
    // `own` is not it. Waits at most `wait_ms` for the kernel's answer.
    SocketOwner connected(const sockaddr_storage &own, const sockaddr_storage &remote, int wait_ms) noexcept;

    // The listening TCP socket that takes connections to `own`.
    SocketOwner listening(const sockaddr_storage &own, int wait_ms) noexcept;

    // The other end of the connected TCP socket `fd`, which must be of this
    // kernel to be found. Unknown for anything but a connected TCP socket.
    SocketOwner peer_of(int fd, int wait_ms) noexcept;

private:
    SocketOwner ask(const sockaddr_storage &own, const sockaddr_storage *remote, int wait_ms) noexcept;

    int netlink_ = -1;
    std::uint32_t sequence_ = 0;
};

// Whether the address is a loopback one (127/8, ::1, or 127/8 mapped).
bool socket_address_is_loopback(const sockaddr_storage &address) noexcept;

}  // namespace vavevar
