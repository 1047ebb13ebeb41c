// Who owns the other end of a connection, as the kernel knows it. The daemon
// limits and admits connections by that owner, never by what a client says
// about itself.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>

#include "port/socket_owner.h"

namespace vavevard {

struct PeerCredentials {
    std::uint32_t uid = 0;
    std::optional<std::uint32_t> gid;  // local sockets only
    std::optional<std::int32_t> pid;   // local sockets only
};

// A local socket carries its peer's credentials from the moment it was
// connected. For TCP over loopback the client's end lives in this kernel too,
// and the socket-diagnostics netlink interface names the user that created
// it. One instance per event loop: it keeps one netlink socket open for its
// life. Not thread-safe.
class PeerLookup {
public:
    PeerLookup() noexcept;
    ~PeerLookup();
    PeerLookup(PeerLookup &&other) noexcept;
    PeerLookup &operator=(PeerLookup &&other) noexcept;
    PeerLookup(const PeerLookup &) = delete;
    PeerLookup &operator=(const PeerLookup &) = delete;

    // False when the netlink socket cannot be had: TCP peers are then never
    // known, local ones still are.
    bool available() const noexcept { return query_.available(); }

    // The credentials of the peer of `fd`, or nothing when they cannot be
    // determined: not a connected local or TCP socket, a peer whose socket is
    // no longer (or not yet) held by any process, or no answer in time.
    std::optional<PeerCredentials> lookup(int fd) noexcept;

private:
    vavevar::SocketOwnerQuery query_;
};

}  // namespace vavevard
