// The kernel's word on who owns a socket: both ends of a loopback connection
// in either family, a connection still in its listener's queue, the listener
// itself, and sockets that are not there. Another user's sockets come from a
// child that took uid 65534 (root only).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "port/socket_owner.h"
#include "support/foreign_listener.h"
#include "support/owned_fd.h"

namespace vavevar {
namespace {

constexpr int kWaitMs = 1000;

using test::Fd;

sockaddr_storage address(const char *text, std::uint16_t port) {
    sockaddr_storage s{};
    if (std::string(text).find(':') == std::string::npos) {
        auto *in = reinterpret_cast<sockaddr_in *>(&s);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        ::inet_pton(AF_INET, text, &in->sin_addr);
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&s);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        ::inet_pton(AF_INET6, text, &in6->sin6_addr);
    }
    return s;
}

socklen_t size_of(const sockaddr_storage &s) {
    return s.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

sockaddr_storage name_of(int fd, bool peer) {
    sockaddr_storage s{};
    socklen_t length = sizeof s;
    (peer ? ::getpeername : ::getsockname)(fd, reinterpret_cast<sockaddr *>(&s), &length);
    return s;
}

std::uint16_t port_of(const sockaddr_storage &s) {
    return ntohs(reinterpret_cast<const sockaddr_in &>(s).sin_port);  // same place in both families
}

Fd listen_on(const char *where) {
    const sockaddr_storage at = address(where, 0);
    Fd fd(::socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.fd < 0 || ::bind(fd.fd, reinterpret_cast<const sockaddr *>(&at), size_of(at)) != 0 ||
        ::listen(fd.fd, 8) != 0)
        return Fd();
    return fd;
}

Fd connect_to(const sockaddr_storage &to) {
    Fd fd(::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.fd < 0 || ::connect(fd.fd, reinterpret_cast<const sockaddr *>(&to), size_of(to)) != 0) return Fd();
    return fd;
}

void expect_owner(const SocketOwner &owner, uid_t uid, const std::string &what) {
    EXPECT_EQ(owner.status, SocketOwnerStatus::found) << what;
    EXPECT_EQ(owner.uid, uid) << what;
    EXPECT_NE(owner.inode, 0u) << what << ": held by a process";
}

// The daemon asks about its client, the client about the daemon: the same
// question from either end, answered with that end's owner.
TEST(SocketOwner, NamesTheOwnerOfEitherEndOfALoopbackConnectionInEitherFamily) {
    SocketOwnerQuery query;
    ASSERT_TRUE(query.available());
    for (const char *where : {"127.0.0.1", "::1"}) {
        Fd listener = listen_on(where);
        if (listener.fd < 0 && where[0] == ':') continue;  // no IPv6 on this machine
        ASSERT_GE(listener.fd, 0);
        Fd client = connect_to(name_of(listener.fd, false));
        ASSERT_GE(client.fd, 0);
        Fd accepted(::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_GE(accepted.fd, 0);
        expect_owner(query.peer_of(client.fd, kWaitMs), ::geteuid(), std::string(where) + ", the client's view");
        expect_owner(query.peer_of(accepted.fd, kWaitMs), ::geteuid(), std::string(where) + ", the daemon's view");
        // By addresses: the socket whose own end is the server's.
        const SocketOwner server_end =
            query.connected(name_of(client.fd, true), name_of(client.fd, false), kWaitMs);
        expect_owner(server_end, ::geteuid(), where);
        EXPECT_NE(server_end.state, kTcpStateListen) << where;
    }
}

// Another user's daemon, before and after it accepts: a queued connection has
// no inode (and may read as root), the listener names its owner.
TEST(SocketOwner, NamesAnotherUsersListenerAndTheConnectionsItAccepts) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    SocketOwnerQuery query;
    test::ForeignListener accepting;
    ASSERT_TRUE(accepting.ok());
    Fd client = connect_to(address("127.0.0.1", accepting.port()));
    ASSERT_GE(client.fd, 0);
    SocketOwner end;
    for (int i = 0; i < 1000 && (end = query.peer_of(client.fd, kWaitMs)).inode == 0; ++i) ::usleep(1000);
    expect_owner(end, test::kNobodyUid, "accepted by the other user");

    test::ForeignListener queueing(0, false);
    ASSERT_TRUE(queueing.ok());
    const sockaddr_storage server = address("127.0.0.1", queueing.port());
    Fd queued = connect_to(server);
    ASSERT_GE(queued.fd, 0);
    end = query.peer_of(queued.fd, kWaitMs);
    EXPECT_EQ(end.status, SocketOwnerStatus::found);
    EXPECT_EQ(end.inode, 0u) << "nobody has accepted it";
    const SocketOwner listener = query.listening(server, kWaitMs);
    expect_owner(listener, test::kNobodyUid, "the listener");
    EXPECT_EQ(listener.state, kTcpStateListen);
}

// Nothing at those addresses, or nothing a TCP query can name: never an owner.
TEST(SocketOwner, SocketsThatAreNotThereHaveNoOwner) {
    SocketOwnerQuery query;
    Fd listener = listen_on("127.0.0.1");
    ASSERT_GE(listener.fd, 0);
    const std::uint16_t port = port_of(name_of(listener.fd, false));
    Fd client = connect_to(name_of(listener.fd, false));
    ASSERT_GE(client.fd, 0);
    const std::uint16_t client_port = port_of(name_of(client.fd, false));
    // A connection to the listener's port from elsewhere: the listener is
    // there to offer, but it is not the socket asked for.
    EXPECT_EQ(query.connected(address("127.0.0.1", port), address("127.0.0.1", client_port ^ 1), kWaitMs).status,
              SocketOwnerStatus::no_such_socket);
    EXPECT_EQ(query.connected(address("127.0.0.1", port), address("127.0.0.2", client_port), kWaitMs).status,
              SocketOwnerStatus::no_such_socket);
    // The client's own port has no listener; a closed listener is gone.
    EXPECT_EQ(query.listening(address("127.0.0.1", client_port), kWaitMs).status, SocketOwnerStatus::no_such_socket);
    Fd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    Fd unconnected(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    for (int fd : {udp.fd, unconnected.fd, -1}) EXPECT_EQ(query.peer_of(fd, kWaitMs).status, SocketOwnerStatus::unknown);
    SocketOwnerQuery moved(std::move(query));
    EXPECT_FALSE(query.available());
    EXPECT_EQ(query.peer_of(client.fd, kWaitMs).status, SocketOwnerStatus::unknown) << "no netlink socket";
    EXPECT_EQ(moved.peer_of(client.fd, kWaitMs).status, SocketOwnerStatus::found) << "the socket moved with it";
    listener = Fd();
    EXPECT_EQ(moved.listening(address("127.0.0.1", port), kWaitMs).status, SocketOwnerStatus::no_such_socket);
}

TEST(SocketOwner, LoopbackAddressesAreTheWholeOf127AndOnlyTheOneOfIPv6) {
    for (const char *yes : {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(socket_address_is_loopback(address(yes, 1))) << yes;
    for (const char *no : {"10.0.0.1", "0.0.0.0", "::", "::2", "::ffff:10.0.0.1", "fe80::1"})
        EXPECT_FALSE(socket_address_is_loopback(address(no, 1))) << no;
}

}  // namespace
}  // namespace vavevar
