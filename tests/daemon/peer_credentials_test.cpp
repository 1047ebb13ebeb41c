// The owner of a connection's other end, from the kernel: loopback connections
// in both families, clients of another user (when the test may take that
// user's identity), peers that have gone, sockets with no peer to name, and
// stale netlink answers.
#include "peer_credentials.h"
#include "support/owned_fd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>

namespace vavevard {
namespace {

constexpr uid_t kOtherUid = 65534;
constexpr int kWaitMs = 10000;

using vavevar::test::Fd;

// 127.0.0.1, ::1, or 127.0.0.1 as an IPv4-mapped IPv6 address.
enum class Kind { v4, v6, mapped };

union Address {
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
    socklen_t size() const { return any.sa_family == AF_INET ? sizeof v4 : sizeof v6; }
};

Address loopback(Kind kind, std::uint16_t port = 0) {
    Address a{};
    if (kind == Kind::v4) {
        a.v4.sin_family = AF_INET;
        a.v4.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &a.v4.sin_addr);
    } else {
        a.v6.sin6_family = AF_INET6;
        a.v6.sin6_port = htons(port);
        ::inet_pton(AF_INET6, kind == Kind::v6 ? "::1" : "::ffff:127.0.0.1", &a.v6.sin6_addr);
    }
    return a;
}

std::uint16_t port_of(int fd) {
    Address a{};
    socklen_t length = sizeof a;
    ::getsockname(fd, &a.any, &length);
    return ntohs(a.v4.sin_port);  // at the same place in both families
}

struct Listener {
    Fd fd;
    std::uint16_t port = 0;
    // An IPv6 listener on a mapped address takes IPv4 clients as well.
    explicit Listener(Kind kind, std::uint16_t at = 0) {
        const Address where = loopback(kind, at);
        Fd s(::socket(where.any.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int off = 0;
        if (kind != Kind::v4) ::setsockopt(s.fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (s.fd < 0 || ::bind(s.fd, &where.any, where.size()) != 0 || ::listen(s.fd, 16) != 0) return;
        fd = std::move(s);
        port = port_of(fd.fd);
    }
    bool ok() const { return fd.fd >= 0; }
    Address to(Kind kind) const { return loopback(kind, port); }
    Fd accept() const {
        pollfd p{fd.fd, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) != 1) return Fd();
        return Fd(::accept4(fd.fd, nullptr, nullptr, SOCK_CLOEXEC));
    }
};

// The connected pair a test looks up: the client's end and the accepted one.
struct Connection {
    Fd client, accepted;
};

// The client's socket belongs to `owner`: the kernel names a socket's owner
// by the user that made it, and this process takes that user's identity for
// it (root may).
Connection connect_pair(const Listener &listener, Kind kind, uid_t owner = ::geteuid()) {
    const Address to = listener.to(kind);
    const uid_t self = ::geteuid();
    Connection c;
    if (::seteuid(owner) != 0) return c;
    c.client = Fd(::socket(to.any.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const bool connected = c.client.fd >= 0 && ::connect(c.client.fd, &to.any, to.size()) == 0;
    if (::seteuid(self) != 0) std::abort();  // must not go on as someone else
    if (connected) c.accepted = listener.accept();
    return c;
}

void expect_user(const std::optional<PeerCredentials> &peer, uid_t uid, const char *what) {
    ASSERT_TRUE(peer.has_value()) << what;
    EXPECT_EQ(peer->uid, uid) << what;
    // The diagnostics answer names the user alone.
    EXPECT_FALSE(peer->gid.has_value() || peer->pid.has_value()) << what;
}

// Listener and client families: plain, and IPv4 ends in IPv6 sockets.
constexpr std::pair<Kind, Kind> kFamilies[] = {{Kind::v4, Kind::v4}, {Kind::v6, Kind::v6},
    {Kind::mapped, Kind::v4}, {Kind::mapped, Kind::mapped}, {Kind::v4, Kind::mapped}};

// Closes a client's end once the server has acknowledged its half-close, so
// that it lives on as a record that no socket stands behind.
void finish(int fd) {
    if (::shutdown(fd, SHUT_WR) == 0) {
        tcp_info info{};
        for (int ms = 0; ms < kWaitMs; ++ms) {
            socklen_t length = sizeof info;
            if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 || info.tcpi_state == TCP_FIN_WAIT2)
                break;
            ::usleep(1000);
        }
    }
    ::close(fd);
}

// The descriptor the next socket will get: the lowest one free.
int next_descriptor() {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(fd);
    return fd;
}

// Only the kernel can tell apart two clients of the same listener, one of
// them another user's (when the test may take that user's identity).
TEST(DaemonPeerLookup, NamesTheOwnerAtBothEndsInEitherFamilyWithOneNetlinkSocket) {
    const int netlink = next_descriptor();
    const bool root = ::geteuid() == 0;
    {
        PeerLookup lookup;
        EXPECT_TRUE(::fcntl(netlink, F_GETFD) & FD_CLOEXEC);
        int domain = 0;
        socklen_t length = sizeof domain;
        ASSERT_EQ(::getsockopt(netlink, SOL_SOCKET, SO_DOMAIN, &domain, &length), 0);
        EXPECT_EQ(domain, AF_NETLINK);

        PeerLookup moved(std::move(lookup));  // and back: one socket changes hands
        EXPECT_FALSE(lookup.available());
        lookup = std::move(moved);
        for (const auto &[listen, client] : kFamilies) {
            Listener listener(listen);
            if (listen != Kind::v4 && !listener.ok()) continue;  // no IPv6 on this machine
            Connection c = connect_pair(listener, client);
            ASSERT_GE(c.accepted.fd, 0);
            Connection theirs = root ? connect_pair(listener, client, kOtherUid) : Connection();
            expect_user(lookup.lookup(c.accepted.fd), ::getuid(), "accepted end");
            expect_user(lookup.lookup(c.client.fd), ::getuid(), "client end");
            if (!root) continue;
            ASSERT_GE(theirs.accepted.fd, 0);
            expect_user(lookup.lookup(theirs.accepted.fd), kOtherUid, "the other user's client");
        }
    }
    EXPECT_EQ(next_descriptor(), netlink) << "the netlink socket was not closed";
}

// Whoever owned a closed client's end, a lookup must never name anyone else:
// with nobody holding the socket the kernel's record can say root.
TEST(DaemonPeerLookup, APeerThatHasClosedIsUnknownOrStillItsOwner) {
    PeerLookup lookup;
    Listener listener(Kind::v4);
    ASSERT_TRUE(listener.ok());
    for (uid_t owner : {::geteuid(), kOtherUid}) {
        if (owner == kOtherUid && ::geteuid() != 0) continue;
        Connection c = connect_pair(listener, Kind::v4, owner);
        ASSERT_GE(c.accepted.fd, 0);
        finish(std::exchange(c.client.fd, -1));
        std::optional<PeerCredentials> peer = lookup.lookup(c.accepted.fd);
        EXPECT_EQ(peer ? peer->uid : owner, owner);
    }
}

// A client end destroyed without a word to the server (repair mode closes
// silently) leaves the accepted socket connected to nobody. The kernel then
// has no such socket, or, once something listens on the client's old port,
// offers that listener: neither is the peer.
TEST(DaemonPeerLookup, APeerGoneWithoutAWordIsUnknownEvenWithAListenerOnItsPort) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to close a socket in repair mode";
    PeerLookup lookup;
    Listener listener(Kind::v4);
    ASSERT_TRUE(listener.ok());
    // A port chosen by bind is shared with nothing, not even the records of
    // earlier connections that would keep a listener off a port connect chose.
    Connection c;
    c.client = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const Address any = loopback(Kind::v4), server = listener.to(Kind::v4);
    ASSERT_EQ(::bind(c.client.fd, &any.any, any.size()), 0);
    ASSERT_EQ(::connect(c.client.fd, &server.any, server.size()), 0);
    c.accepted = listener.accept();
    ASSERT_GE(c.accepted.fd, 0);
    const std::uint16_t clientPort = port_of(c.client.fd);
    int on = 1;
    if (::setsockopt(c.client.fd, IPPROTO_TCP, TCP_REPAIR, &on, sizeof on) != 0)
        GTEST_SKIP() << "this kernel has no TCP repair mode";
    c.client = Fd();
    EXPECT_FALSE(lookup.lookup(c.accepted.fd).has_value()) << "no socket at all";
    Listener onTheOldPort(Kind::v4, clientPort);
    ASSERT_TRUE(onTheOldPort.ok());
    EXPECT_FALSE(lookup.lookup(c.accepted.fd).has_value()) << "a listener on the client's port";
}

// A local peer is named with its group and pid, with or without netlink; a
// TCP peer without netlink, and anything with no connected peer, is unknown.
TEST(DaemonPeerLookup, LocalPeersAreNamedWithoutNetlinkAndDescriptorsWithNoPeerAreUnknown) {
    PeerLookup lookup, taker;
    taker = std::move(lookup);  // leaves `lookup` without a netlink socket
    for (int type : {SOCK_STREAM, SOCK_SEQPACKET}) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds), 0);
        Fd a(fds[0]), b(fds[1]);
        for (PeerLookup *l : {&lookup, &taker}) {
            std::optional<PeerCredentials> peer = l->lookup(b.fd);
            ASSERT_TRUE(peer.has_value());
            EXPECT_EQ(peer->uid, ::getuid());
            EXPECT_EQ(peer->gid, std::optional<std::uint32_t>(::getgid()));
            EXPECT_EQ(peer->pid, std::optional<std::int32_t>(::getpid()));
        }
    }
    Listener listener(Kind::v4);
    Connection c = connect_pair(listener, Kind::v4);
    ASSERT_GE(c.accepted.fd, 0);
    EXPECT_FALSE(lookup.lookup(c.accepted.fd).has_value()) << "TCP without netlink";

    EXPECT_FALSE(taker.lookup(-1).has_value());
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    Fd in(pipe[0]), out(pipe[1]);
    Fd unconnected(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    Fd local(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    for (const Fd *fd : {&in, &unconnected, &local}) EXPECT_FALSE(taker.lookup(fd->fd).has_value()) << fd->fd;
    // A UDP socket bound to the server's port and connected to the client's
    // port has exactly the TCP connection's addresses.
    Fd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const Address server = listener.to(Kind::v4), client = loopback(Kind::v4, port_of(c.client.fd));
    ASSERT_EQ(::bind(udp.fd, &server.any, server.size()), 0);
    ASSERT_EQ(::connect(udp.fd, &client.any, client.size()), 0);
    EXPECT_FALSE(taker.lookup(udp.fd).has_value());
}

// Asks the kernel about the IPv4 TCP socket `source` → `destination` with a
// sequence number of our own, as a lookup given up on would have.
void ask_on(int netlink, std::uint32_t sequence, const Address &source, const Address &destination) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } r{};
    r.header = {sizeof r, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, sequence, 0};
    r.body.sdiag_family = AF_INET;
    r.body.sdiag_protocol = IPPROTO_TCP;
    r.body.idiag_states = ~0u;
    r.body.id.idiag_sport = source.v4.sin_port;
    r.body.id.idiag_dport = destination.v4.sin_port;
    r.body.id.idiag_src[0] = source.v4.sin_addr.s_addr;
    r.body.id.idiag_dst[0] = destination.v4.sin_addr.s_addr;
    r.body.id.idiag_cookie[0] = r.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ASSERT_EQ(::sendto(netlink, &r, sizeof r, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel),
              static_cast<ssize_t>(sizeof r));
}

// Answers to requests given up on earlier may still be waiting on the netlink
// socket; the next lookup must read past them to its own.
TEST(DaemonPeerLookup, AnswersLeftFromEarlierRequestsArePassedOver) {
    const int netlink = next_descriptor();
    PeerLookup lookup;
    Listener listener(Kind::v4);
    ASSERT_TRUE(listener.ok());
    Connection a = connect_pair(listener, Kind::v4), b = connect_pair(listener, Kind::v4);
    ASSERT_GE(b.accepted.fd, 0);
    // A record of another socket (a's client end), then an error for a socket
    // that does not exist, numbered as a lookup that never moved its sequence
    // number on would number its own.
    const Address server = listener.to(Kind::v4);
    ask_on(netlink, 0x7fff0001, loopback(Kind::v4, port_of(a.client.fd)), server);
    ask_on(netlink, 0, loopback(Kind::v4, 1), server);
    expect_user(lookup.lookup(b.accepted.fd), ::getuid(), "after two stale answers");
    expect_user(lookup.lookup(a.accepted.fd), ::getuid(), "the next lookup");
}

}  // namespace
}  // namespace vavevard
