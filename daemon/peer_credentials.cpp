#include "peer_credentials.h"

#include <sys/socket.h>

namespace vavevard {
namespace {

// The kernel answers while it handles the request, so the answer is queued
// before the send returns; the wait only keeps a kernel that fails to answer
// from stalling the event loop.
constexpr int kAnswerWaitMs = 5;

std::optional<PeerCredentials> local_peer(int fd) noexcept {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred) return std::nullopt;
    // A socket that was never connected reports the invalid uid.
    if (cred.uid == static_cast<uid_t>(-1)) return std::nullopt;
    PeerCredentials peer{cred.uid, std::nullopt, std::nullopt};
    if (cred.gid != static_cast<gid_t>(-1)) peer.gid = cred.gid;
    if (cred.pid > 0) peer.pid = cred.pid;  // 0 when the peer is outside our pid namespace
    return peer;
}

}  // namespace

PeerLookup::PeerLookup() noexcept = default;
PeerLookup::~PeerLookup() = default;
PeerLookup::PeerLookup(PeerLookup &&other) noexcept = default;
PeerLookup &PeerLookup::operator=(PeerLookup &&other) noexcept = default;

std::optional<PeerCredentials> PeerLookup::lookup(int fd) noexcept {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) return std::nullopt;
    if (local.ss_family == AF_UNIX) return local_peer(fd);
    if (local.ss_family != AF_INET && local.ss_family != AF_INET6) return std::nullopt;
    // A client's end that no process holds any more (closed but still
    // finishing) has no inode, and its record may say root whoever made it.
    const vavevar::SocketOwner owner = query_.peer_of(fd, kAnswerWaitMs);
    if (owner.status != vavevar::SocketOwnerStatus::found || owner.inode == 0) return std::nullopt;
    return PeerCredentials{owner.uid, std::nullopt, std::nullopt};
}

}  // namespace vavevard
