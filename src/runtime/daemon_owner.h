// Whether the library is talking to the daemon: the kernel's word on who owns
// the other end of a fresh connection, judged before a byte is sent on it.
// While the daemon is down any local user may listen on its port; without
// this check that user would receive the handshake and every notification.
#pragma once

#include <cstdint>

namespace vavevar {

// The user the daemon must run as (root is always accepted besides): the uid
// in VAVEVAR_DAEMON_UID when that is set (an invalid value is reported and
// ignored), else the owner of `home`, else, when the home cannot be looked
// at, this process's own effective uid. Fixed at start.
std::uint32_t lumo_daemon_expected_uid(const char *home) noexcept;

enum class DaemonPeer {
    trusted,    // held by root or by the expected user
    impostor,   // held by another user
    unknown,    // the kernel could not name the owner
    unchecked,  // not on a loopback address and not of this machine: cannot be checked
};

struct DaemonPeerCheck {
    DaemonPeer verdict = DaemonPeer::unknown;
    std::uint32_t owner = 0;  // for an impostor: whose it is
};

// Judges the other end of the connected TCP socket `fd`. A connection the
// daemon has not accepted yet is judged by the listener that will hand it
// over, since every connection it queues carries that listener's owner.
DaemonPeerCheck lumo_daemon_peer_check(int fd, std::uint32_t expected_uid) noexcept;

}  // namespace vavevar
