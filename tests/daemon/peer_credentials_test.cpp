// The owner of a connection's other end, from the kernel: real loopback
// connections in both families, clients of another user (when the test may
// switch users), peers that have gone, sockets with no peer to name, and the
// netlink conversation kept in step across many lookups.
#include "peer_credentials.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vavevard {
namespace {

constexpr uid_t kOtherUid = 65534;
constexpr int kWaitMs = 10000;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
    const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&storage); }
};

Address v4_loopback(std::uint16_t port = 0) {
    Address a;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(port);
    std::memcpy(&a.storage, &in, sizeof in);
    a.length = sizeof in;
    return a;
}

Address v6_address(const in6_addr &address, std::uint16_t port = 0) {
    Address a;
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = address;
    in6.sin6_port = htons(port);
    std::memcpy(&a.storage, &in6, sizeof in6);
    a.length = sizeof in6;
    return a;
}

Address v6_loopback(std::uint16_t port = 0) { return v6_address(in6addr_loopback, port); }

Address mapped_loopback(std::uint16_t port = 0) {
    in6_addr mapped{};
    mapped.s6_addr[10] = mapped.s6_addr[11] = 0xff;
    mapped.s6_addr[12] = 127;
    mapped.s6_addr[15] = 1;
    return v6_address(mapped, port);
}

std::uint16_t port_of(int fd) {
    sockaddr_in6 a{};  // the port is at the same place in both families
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
    return ntohs(a.sin6_port);
}

class Listener {
public:
    // An IPv6 listener on a mapped address takes IPv4 clients as well.
    explicit Listener(const Address &where, int backlog = 16) {
        Fd fd(::socket(where.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
        int off = 0;
        if (where.family() == AF_INET6) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (fd.get() < 0 || ::bind(fd.get(), where.get(), where.length) != 0 || ::listen(fd.get(), backlog) != 0)
            return;
        fd_ = std::move(fd);
        port_ = port_of(fd_.get());
    }
    bool ok() const { return fd_.get() >= 0; }
    std::uint16_t port() const { return port_; }
    Fd accept() const {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) != 1) return Fd();
        return Fd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    Fd fd_;
    std::uint16_t port_ = 0;
};

Fd connect_to(const Address &to) {
    Fd fd(::socket(to.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 || ::connect(fd.get(), to.get(), to.length) != 0) return Fd();
    return fd;
}

bool ipv6_loopback_usable() { return Listener(v6_loopback()).ok(); }

// The connected pair a test looks up: the client's end and the accepted one.
struct Connection {
    Fd client, accepted;
};

Connection connect_pair(const Listener &listener, const Address &to) {
    Connection c;
    c.client = connect_to(to);
    if (c.client.get() >= 0) c.accepted = listener.accept();
    return c;
}

void expect_user(const std::optional<PeerCredentials> &peer, uid_t uid, const char *what) {
    ASSERT_TRUE(peer.has_value()) << what;
    EXPECT_EQ(peer->uid, uid) << what;
    // The diagnostics answer names the user alone.
    EXPECT_FALSE(peer->gid.has_value()) << what;
    EXPECT_FALSE(peer->pid.has_value()) << what;
}

void expect_both_ends_are_mine(PeerLookup &lookup, const Listener &listener, const Address &to) {
    ASSERT_TRUE(listener.ok());
    Connection c = connect_pair(listener, to);
    ASSERT_GE(c.accepted.get(), 0);
    expect_user(lookup.lookup(c.accepted.get()), ::getuid(), "accepted end");
    expect_user(lookup.lookup(c.client.get()), ::getuid(), "client end");
}

// How a client leaves a connection it made: keeps it; closes it at once,
// its end still waiting for the server's acknowledgement; resets it; or
// closes once the server has acknowledged its half-close, so its end lives on
// as a record that no socket stands behind.
enum class Then { hold, close, reset, finish };

void leave(int fd, Then then) {
    if (then == Then::hold) return;
    if (then == Then::reset) {
        linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    if (then == Then::finish && ::shutdown(fd, SHUT_WR) == 0) {
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

// A process of another user that connects `count` times to `to` and then
// leaves its connections as told until the test ends it. It is killed should
// the test die, and by its pid when the test is done with it.
class OtherUserClient {
public:
    OtherUserClient(const Address &to, int count, Then then) {
        int control[2], report[2];
        if (::pipe2(control, O_CLOEXEC) != 0) return;
        if (::pipe2(report, O_CLOEXEC) != 0) {
            ::close(control[0]);
            ::close(control[1]);
            return;
        }
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(2);
            ::close(control[1]);
            ::close(report[0]);
            if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherUid) != 0 || ::setuid(kOtherUid) != 0) ::_exit(3);
            for (int i = 0; i < count; ++i) {
                int fd = ::socket(to.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (fd < 0 || ::connect(fd, to.get(), to.length) != 0) ::_exit(4);
                leave(fd, then);
                if (::write(report[1], "c", 1) != 1) ::_exit(5);
            }
            char byte;
            while (::read(control[0], &byte, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(control[0]);
        ::close(report[1]);
        control_.reset(control[1]);
        report_.reset(report[0]);
    }
    ~OtherUserClient() { end(); }

    // Waits until the child has made all its connections.
    bool connected(int count) {
        for (int got = 0; got < count;) {
            pollfd p{report_.get(), POLLIN, 0};
            if (::poll(&p, 1, kWaitMs) != 1) return false;
            char bytes[64];
            ssize_t n = ::read(report_.get(), bytes, sizeof bytes);
            if (n <= 0) return false;
            got += static_cast<int>(n);
        }
        return true;
    }
    // Ends the child and reaps it.
    void end() {
        if (pid_ <= 0) return;
        control_.reset();
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    Fd control_, report_;
};

std::set<int> open_descriptors() {
    std::set<int> fds;
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    while (dirent *entry = ::readdir(dir))
        if (entry->d_name[0] != '.') fds.insert(std::atoi(entry->d_name));
    fds.erase(::dirfd(dir));
    ::closedir(dir);
    return fds;
}

TEST(DaemonPeerLookup, HoldsOneCloseOnExecNetlinkSocketForItsLifeAndNoMore) {
    const std::set<int> before = open_descriptors();
    {
        PeerLookup lookup;
        ASSERT_TRUE(lookup.available());
        std::set<int> added = open_descriptors();
        for (int fd : before) added.erase(fd);
        ASSERT_EQ(added.size(), 1u);
        const int fd = *added.begin();
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
        int domain = 0;
        socklen_t length = sizeof domain;
        ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length), 0);
        EXPECT_EQ(domain, AF_NETLINK);

        PeerLookup moved(std::move(lookup));
        EXPECT_FALSE(lookup.available());
        Listener listener(v4_loopback());
        expect_both_ends_are_mine(moved, listener, v4_loopback(listener.port()));
        lookup = std::move(moved);
        expect_both_ends_are_mine(lookup, listener, v4_loopback(listener.port()));
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST(DaemonPeerLookup, BothEndsOfALoopbackConnectionAreThisUsersInEitherFamily) {
    PeerLookup lookup;
    Listener v4(v4_loopback());
    expect_both_ends_are_mine(lookup, v4, v4_loopback(v4.port()));
    if (!ipv6_loopback_usable()) GTEST_SKIP() << "::1 is not configured on this machine";
    Listener v6(v6_loopback());
    expect_both_ends_are_mine(lookup, v6, v6_loopback(v6.port()));
}

TEST(DaemonPeerLookup, IPv4MappedEndsAreFoundWhicheverFamilyTheClientChose) {
    PeerLookup lookup;
    Listener dual(mapped_loopback());
    if (!dual.ok()) GTEST_SKIP() << "no dual-stack sockets on this machine";
    // The accepted socket is IPv6 with mapped addresses; the client is an
    // IPv4 socket in one case and an IPv6 one in the other.
    expect_both_ends_are_mine(lookup, dual, v4_loopback(dual.port()));
    expect_both_ends_are_mine(lookup, dual, mapped_loopback(dual.port()));
    // And an IPv6 client of a plain IPv4 listener.
    Listener v4(v4_loopback());
    expect_both_ends_are_mine(lookup, v4, mapped_loopback(v4.port()));
}

// Only the kernel can tell these apart: the same listener, two clients, one of
// them another user's.
TEST(DaemonPeerLookup, AClientOfAnotherUserIsNamedAsThatUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as uid " << kOtherUid;
    PeerLookup lookup;
    Listener v4(v4_loopback()), v6(v6_loopback()), dual(mapped_loopback());
    std::vector<std::pair<const Listener *, Address>> cases{{&v4, v4_loopback(v4.port())}};
    if (v6.ok()) cases.emplace_back(&v6, v6_loopback(v6.port()));
    if (dual.ok()) cases.emplace_back(&dual, v4_loopback(dual.port()));
    for (const auto &[listener, to] : cases) {
        ASSERT_TRUE(listener->ok());
        Connection mine = connect_pair(*listener, to);
        OtherUserClient other(to, 1, Then::hold);
        ASSERT_TRUE(other.connected(1));
        Fd theirs = listener->accept();
        ASSERT_GE(theirs.get(), 0);
        Connection mineAgain = connect_pair(*listener, to);
        expect_user(lookup.lookup(theirs.get()), kOtherUid, "the other user's client");
        expect_user(lookup.lookup(mine.accepted.get()), ::getuid(), "my client before it");
        expect_user(lookup.lookup(mineAgain.accepted.get()), ::getuid(), "my client after it");
    }
}

// Whoever owned a closed client's end, a lookup must never name anyone else:
// with nobody holding the socket the kernel's record can say root.
TEST(DaemonPeerLookup, APeerThatHasClosedIsUnknownOrStillItsOwner) {
    PeerLookup lookup;
    Listener listener(v4_loopback());
    const Address to = v4_loopback(listener.port());
    ASSERT_TRUE(listener.ok());
    auto expect_unknown_or = [&](int fd, uid_t owner, const char *what) {
        std::optional<PeerCredentials> peer = lookup.lookup(fd);
        if (peer) {
            EXPECT_EQ(peer->uid, owner) << what;
        }
    };
    for (Then then : {Then::close, Then::reset, Then::finish}) {
        const char *what = then == Then::close ? "closed" : then == Then::reset ? "reset" : "finished";
        if (::geteuid() == 0) {
            OtherUserClient other(to, 1, then);
            ASSERT_TRUE(other.connected(1));
            other.end();
            Fd accepted = listener.accept();
            ASSERT_GE(accepted.get(), 0);
            expect_unknown_or(accepted.get(), kOtherUid, what);
        }
        Connection c = connect_pair(listener, to);
        ASSERT_GE(c.accepted.get(), 0);
        leave(c.client.release(), then);
        expect_unknown_or(c.accepted.get(), ::getuid(), what);
    }
}

// A client end destroyed without a word to the server (repair mode closes
// silently) leaves the accepted socket connected to nobody. The kernel then
// has no such socket, or, once something listens on the client's old port,
// offers that listener: neither is the peer.
TEST(DaemonPeerLookup, APeerGoneWithoutAWordIsUnknownEvenWithAListenerOnItsPort) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to close a socket in repair mode";
    PeerLookup lookup;
    Listener listener(v4_loopback());
    ASSERT_TRUE(listener.ok());
    // A port chosen by bind is shared with nothing, not even the records of
    // earlier connections that would keep a listener off a port connect chose.
    Connection c;
    c.client.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const Address any = v4_loopback(), server = v4_loopback(listener.port());
    ASSERT_EQ(::bind(c.client.get(), any.get(), any.length), 0);
    ASSERT_EQ(::connect(c.client.get(), server.get(), server.length), 0);
    c.accepted = listener.accept();
    ASSERT_GE(c.accepted.get(), 0);
    const std::uint16_t clientPort = port_of(c.client.get());
    int on = 1;
    if (::setsockopt(c.client.get(), IPPROTO_TCP, TCP_REPAIR, &on, sizeof on) != 0)
        GTEST_SKIP() << "this kernel has no TCP repair mode";
    c.client.reset();
    EXPECT_FALSE(lookup.lookup(c.accepted.get()).has_value()) << "no socket at all";
    Listener onTheOldPort(v4_loopback(clientPort));
    ASSERT_TRUE(onTheOldPort.ok());
    EXPECT_FALSE(lookup.lookup(c.accepted.get()).has_value()) << "a listener on the client's port";
    // The connection itself is still there to be asked about.
    int error = 0;
    socklen_t length = sizeof error;
    ASSERT_EQ(::getsockopt(c.accepted.get(), SOL_SOCKET, SO_ERROR, &error, &length), 0);
    EXPECT_EQ(error, 0);
}

TEST(DaemonPeerLookup, ALocalSocketPairNamesThisProcessWithGroupAndPid) {
    PeerLookup lookup;
    for (int type : {SOCK_STREAM, SOCK_SEQPACKET}) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds), 0);
        Fd a(fds[0]), b(fds[1]);
        for (const Fd *end : {&a, &b}) {
            std::optional<PeerCredentials> peer = lookup.lookup(end->get());
            ASSERT_TRUE(peer.has_value());
            EXPECT_EQ(peer->uid, ::getuid());
            EXPECT_EQ(peer->gid, std::optional<std::uint32_t>(::getgid()));
            EXPECT_EQ(peer->pid, std::optional<std::int32_t>(::getpid()));
        }
    }
    // Without the netlink socket TCP peers are unknown, local ones are not.
    PeerLookup taker(std::move(lookup));
    ASSERT_FALSE(lookup.available());
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Fd a(fds[0]), b(fds[1]);
    EXPECT_TRUE(lookup.lookup(a.get()).has_value());
    Listener listener(v4_loopback());
    Connection c = connect_pair(listener, v4_loopback(listener.port()));
    ASSERT_GE(c.accepted.get(), 0);
    EXPECT_FALSE(lookup.lookup(c.accepted.get()).has_value());
}

TEST(DaemonPeerLookup, DescriptorsWithNoConnectedPeerAreUnknown) {
    PeerLookup lookup;
    EXPECT_FALSE(lookup.lookup(-1).has_value());
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    Fd in(pipe[0]), out(pipe[1]);
    EXPECT_FALSE(lookup.lookup(in.get()).has_value());
    Listener listener(v4_loopback());
    Fd unconnected(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    Fd local(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_FALSE(lookup.lookup(unconnected.get()).has_value());
    EXPECT_FALSE(lookup.lookup(local.get()).has_value());

    // A listener's address is what a client's end has as its peer, but a
    // listener has no peer of its own.
    Connection c = connect_pair(listener, v4_loopback(listener.port()));
    ASSERT_GE(c.accepted.get(), 0);
    // A UDP socket bound to the server's port and connected to the client's
    // port has exactly the TCP connection's addresses.
    Fd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    Address server = v4_loopback(listener.port()), client = v4_loopback(port_of(c.client.get()));
    ASSERT_EQ(::bind(udp.get(), server.get(), server.length), 0);
    ASSERT_EQ(::connect(udp.get(), client.get(), client.length), 0);
    EXPECT_FALSE(lookup.lookup(udp.get()).has_value());
    expect_user(lookup.lookup(c.accepted.get()), ::getuid(), "the TCP connection itself");
}

// Many lookups, alternating between owners when the test may switch users and
// with answers about closed peers in between, each about its own socket.
TEST(DaemonPeerLookup, AThousandLookupsInARowEachAnswerTheirOwnSocket) {
    PeerLookup lookup;
    Listener mine(v4_loopback()), theirs(v4_loopback(), 1024);
    const std::size_t descriptors = open_descriptors().size();
    ASSERT_TRUE(mine.ok() && theirs.ok());
    const Address toMine = v4_loopback(mine.port());
    const bool root = ::geteuid() == 0;
    constexpr int kRounds = 500;
    std::optional<OtherUserClient> other;
    if (root) {
        other.emplace(v4_loopback(theirs.port()), kRounds, Then::hold);
        ASSERT_TRUE(other->connected(kRounds));
    }
    int lookups = 0, wrong = 0;
    for (int i = 0; i < kRounds; ++i) {
        if (root) {
            Fd accepted = theirs.accept();
            ASSERT_GE(accepted.get(), 0);
            std::optional<PeerCredentials> peer = lookup.lookup(accepted.get());
            wrong += !peer || peer->uid != kOtherUid;
            ++lookups;
        }
        Connection c = connect_pair(mine, toMine);
        ASSERT_GE(c.accepted.get(), 0);
        for (int fd : {c.accepted.get(), c.client.get()}) {
            std::optional<PeerCredentials> peer = lookup.lookup(fd);
            wrong += !peer || peer->uid != ::getuid();
            ++lookups;
        }
        if (i % 25 == 0) {
            c.client.reset();
            std::optional<PeerCredentials> peer = lookup.lookup(c.accepted.get());
            wrong += peer && peer->uid != ::getuid();
        }
    }
    EXPECT_GE(lookups, 2 * kRounds);
    EXPECT_EQ(wrong, 0) << "of " << lookups << " lookups";
    other.reset();
    EXPECT_EQ(open_descriptors().size(), descriptors);
}

struct StaleRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// Asks the kernel about a TCP socket with a sequence number of our own.
void ask_on(int netlink, std::uint32_t sequence, const Address &source, const Address &destination) {
    StaleRequest r{};
    r.header.nlmsg_len = sizeof r;
    r.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    r.header.nlmsg_flags = NLM_F_REQUEST;
    r.header.nlmsg_seq = sequence;
    r.body.sdiag_family = AF_INET;
    r.body.sdiag_protocol = IPPROTO_TCP;
    r.body.idiag_states = ~0u;
    sockaddr_in s, d;
    std::memcpy(&s, &source.storage, sizeof s);
    std::memcpy(&d, &destination.storage, sizeof d);
    r.body.id.idiag_sport = s.sin_port;
    r.body.id.idiag_dport = d.sin_port;
    r.body.id.idiag_src[0] = s.sin_addr.s_addr;
    r.body.id.idiag_dst[0] = d.sin_addr.s_addr;
    r.body.id.idiag_cookie[0] = r.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ASSERT_EQ(::sendto(netlink, &r, sizeof r, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel),
              static_cast<ssize_t>(sizeof r));
}

// Answers to requests given up on earlier may still be waiting on the netlink
// socket; the next lookup must read past them to its own.
TEST(DaemonPeerLookup, AnswersLeftFromEarlierRequestsArePassedOver) {
    const std::set<int> before = open_descriptors();
    PeerLookup lookup;
    std::set<int> added = open_descriptors();
    for (int fd : before) added.erase(fd);
    ASSERT_EQ(added.size(), 1u);
    const int netlink = *added.begin();

    Listener listener(v4_loopback());
    ASSERT_TRUE(listener.ok());
    Connection a = connect_pair(listener, v4_loopback(listener.port()));
    Connection b = connect_pair(listener, v4_loopback(listener.port()));
    ASSERT_GE(b.accepted.get(), 0);
    const Address server = v4_loopback(listener.port());
    // A record of another socket (a's client end), then an error for a socket
    // that does not exist.
    ask_on(netlink, 0x7fff0001, v4_loopback(port_of(a.client.get())), server);
    ask_on(netlink, 0x7fff0002, v4_loopback(1), server);
    expect_user(lookup.lookup(b.accepted.get()), ::getuid(), "after two stale answers");
    expect_user(lookup.lookup(a.accepted.get()), ::getuid(), "the next lookup");
}

}  // namespace
}  // namespace vavevard
