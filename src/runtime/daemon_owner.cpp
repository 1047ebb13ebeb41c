#include "runtime/daemon_owner.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "port/diag.h"
#include "port/socket_owner.h"

namespace vavevar {
namespace {

// The kernel answers while it handles a request; the wait only guards
// against one that does not, and stays well inside a stop's slack.
constexpr int kAnswerWaitMs = 200;

bool parse_uid(const char *text, std::uint32_t &uid) {
    if (*text < '0' || *text > '9') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    // (uid_t)-1 names nobody: the kernel never reports it as an owner.
    if (*end != '\0' || errno != 0 || value >= UINT32_MAX) return false;
    uid = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace

std::uint32_t lumo_daemon_expected_uid(const char *home) noexcept {
    const char *text = std::getenv("VAVEVAR_DAEMON_UID");
    if (text != nullptr && *text != '\0') {
        std::uint32_t uid = 0;
        if (parse_uid(text, uid)) return uid;
        lumo_log("VAVEVAR_DAEMON_UID: invalid value: %s\n", text);
    }
    struct stat info {};
    if (home != nullptr && ::stat(home, &info) == 0) return info.st_uid;
    return ::geteuid();
}

DaemonPeerCheck lumo_daemon_peer_check(int fd, std::uint32_t expected_uid) noexcept {
    DaemonPeerCheck check;
    sockaddr_storage local{}, remote{};
    socklen_t local_length = sizeof local, remote_length = sizeof remote;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &local_length) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr *>(&remote), &remote_length) != 0)
        return check;
    SocketOwnerQuery query;
    SocketOwner end = query.connected(remote, local, kAnswerWaitMs);
    if (end.status == SocketOwnerStatus::no_such_socket && !socket_address_is_loopback(remote)) {
        // Another machine's socket, or another network namespace's.
        check.verdict = DaemonPeer::unchecked;
        return check;
    }
    if (end.status != SocketOwnerStatus::found) return check;
    std::uint32_t owner = end.uid;
    if (end.inode == 0) {
        // Still in the listener's queue, where some kernels name root as its
        // owner whoever listens: the listener's owner is the one that counts.
        // Asked again after it, the connection is either still queued (its
        // listener the same: closing a listener resets what it queued) or
        // accepted meanwhile, and then its own owner counts.
        const SocketOwner listener = query.listening(remote, kAnswerWaitMs);
        if (listener.status != SocketOwnerStatus::found) return check;
        end = query.connected(remote, local, kAnswerWaitMs);
        if (end.status != SocketOwnerStatus::found) return check;
        owner = end.inode != 0 ? end.uid : listener.uid;
    }
    check.owner = owner;
    check.verdict = owner == 0 || owner == expected_uid ? DaemonPeer::trusted : DaemonPeer::impostor;
    return check;
}

}  // namespace vavevar
