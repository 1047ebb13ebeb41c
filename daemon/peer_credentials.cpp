#include "peer_credentials.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <utility>

namespace vavevard {
namespace {

// The kernel answers while it handles the request, so the answer is queued
// before the send returns; the wait only keeps a kernel that fails to answer
// from stalling the event loop.
constexpr int kAnswerWaitMs = 5;

// An address and port in one form for both families: IPv4 as IPv4-mapped
// IPv6, which is also how a dual-stack socket reports an IPv4 peer.
struct Endpoint {
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;  // network order
    std::uint32_t scope = 0;

    bool same_place(const Endpoint &other) const noexcept {
        return address == other.address && port == other.port;
    }
    bool is_v4() const noexcept {
        static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        return std::memcmp(address.data(), kMapped, sizeof kMapped) == 0;
    }
    void set_v4(const void *fourBytes) noexcept {
        address.fill(0);
        address[10] = address[11] = 0xff;
        std::memcpy(address.data() + 12, fourBytes, 4);
    }
};

std::optional<Endpoint> endpoint_of(const sockaddr_storage &storage) noexcept {
    Endpoint e;
    if (storage.ss_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, &storage, sizeof in);
        e.set_v4(&in.sin_addr);
        e.port = in.sin_port;
    } else if (storage.ss_family == AF_INET6) {
        sockaddr_in6 in6;
        std::memcpy(&in6, &storage, sizeof in6);
        std::memcpy(e.address.data(), &in6.sin6_addr, 16);
        e.port = in6.sin6_port;
        e.scope = in6.sin6_scope_id;
    } else {
        return std::nullopt;
    }
    return e;
}

// The address fields of a diagnostics socket id, read in the family the
// kernel reports the socket in.
void read_diag_address(std::uint8_t family, const __be32 (&field)[4], Endpoint &e) noexcept {
    if (family == AF_INET)
        e.set_v4(&field[0]);
    else
        std::memcpy(e.address.data(), field, 16);
}

void write_diag_address(const Endpoint &e, bool v4, __be32 (&field)[4]) noexcept {
    if (v4)
        std::memcpy(&field[0], e.address.data() + 12, 4);
    else
        std::memcpy(field, e.address.data(), 16);
}

constexpr std::size_t kHeaderSize = NLMSG_ALIGN(sizeof(nlmsghdr));

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};
static_assert(sizeof(DiagRequest) == NLMSG_LENGTH(sizeof(inet_diag_req_v2)));

// The request for the one socket whose own end is `client` and whose remote
// end is `server`. Without NLM_F_DUMP the kernel looks the socket up by its
// four-tuple instead of walking every socket.
DiagRequest exact_request(const Endpoint &client, const Endpoint &server, std::uint32_t sequence) noexcept {
    // Both ends of a mapped connection are IPv4 sockets to the kernel's
    // tables; asking in IPv4 finds them whichever family their owner chose.
    const bool v4 = client.is_v4() && server.is_v4();
    DiagRequest r{};
    r.header.nlmsg_len = sizeof r;
    r.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    r.header.nlmsg_flags = NLM_F_REQUEST;
    r.header.nlmsg_seq = sequence;
    r.body.sdiag_family = v4 ? AF_INET : AF_INET6;
    r.body.sdiag_protocol = IPPROTO_TCP;
    r.body.idiag_states = ~0u;
    r.body.id.idiag_sport = client.port;
    r.body.id.idiag_dport = server.port;
    write_diag_address(client, v4, r.body.id.idiag_src);
    write_diag_address(server, v4, r.body.id.idiag_dst);
    r.body.id.idiag_if = v4 ? 0 : client.scope;
    r.body.id.idiag_cookie[0] = r.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return r;
}

enum class Reading { more, done };

// Reads one datagram from the kernel. Messages of other sequence numbers are
// answers to requests given up on earlier and are passed over.
Reading read_answer(const char *data, std::size_t size, std::uint32_t sequence, const Endpoint &client,
                    const Endpoint &server, std::optional<PeerCredentials> &result) noexcept {
    std::size_t offset = 0;
    while (size - offset >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data + offset, sizeof header);
        if (header.nlmsg_len < kHeaderSize) return Reading::more;
        // A datagram longer than the buffer arrives cut; the record leads it.
        const char *payload = data + offset + kHeaderSize;
        const std::size_t payloadSize = std::min<std::size_t>(header.nlmsg_len, size - offset) - kHeaderSize;
        offset += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), size - offset);
        if (header.nlmsg_seq != sequence) continue;
        // NLMSG_ERROR carries ENOENT when no socket has that four-tuple: the
        // client has closed and its end is gone.
        if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || payloadSize < sizeof(inet_diag_msg)) return Reading::done;
        inet_diag_msg msg;
        std::memcpy(&msg, payload, sizeof msg);
        Endpoint source, destination;
        read_diag_address(msg.idiag_family, msg.id.idiag_src, source);
        read_diag_address(msg.idiag_family, msg.id.idiag_dst, destination);
        source.port = msg.id.idiag_sport;
        destination.port = msg.id.idiag_dport;
        // A listener on the client's address and port would match the lookup
        // too, with no remote end: only the socket asked for will do. A socket
        // no process holds (closed but still finishing, or not yet accepted)
        // has no inode, and once it is only a closing record its uid reads 0
        // whoever made it.
        if (source.same_place(client) && destination.same_place(server) && msg.idiag_inode != 0)
            result = PeerCredentials{msg.idiag_uid, std::nullopt, std::nullopt};
        return Reading::done;
    }
    return Reading::more;
}

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

PeerLookup::PeerLookup() noexcept
    : netlink_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG)) {}

PeerLookup::~PeerLookup() {
    if (netlink_ >= 0) ::close(netlink_);
}

PeerLookup::PeerLookup(PeerLookup &&other) noexcept
    : netlink_(std::exchange(other.netlink_, -1)), sequence_(other.sequence_) {}

PeerLookup &PeerLookup::operator=(PeerLookup &&other) noexcept {
    if (this != &other) {
        if (netlink_ >= 0) ::close(netlink_);
        netlink_ = std::exchange(other.netlink_, -1);
        sequence_ = other.sequence_;
    }
    return *this;
}

std::optional<PeerCredentials> PeerLookup::lookup(int fd) noexcept {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) return std::nullopt;
    switch (local.ss_family) {
    case AF_UNIX: return local_peer(fd);
    case AF_INET:
    case AF_INET6: return lookup_tcp(fd, local);
    default: return std::nullopt;
    }
}

std::optional<PeerCredentials> PeerLookup::lookup_tcp(int fd, const sockaddr_storage &local) noexcept {
    if (netlink_ < 0) return std::nullopt;
    // The kernel is asked about TCP sockets only; another protocol's socket
    // may share a TCP connection's addresses and ports.
    int protocol = 0;
    socklen_t length = sizeof protocol;
    if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0 || protocol != IPPROTO_TCP)
        return std::nullopt;
    sockaddr_storage remote{};
    socklen_t remoteLength = sizeof remote;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&remote), &remoteLength) != 0) return std::nullopt;
    // The client's end is the socket whose own address is our peer's and
    // whose peer is us.
    const std::optional<Endpoint> server = endpoint_of(local), client = endpoint_of(remote);
    if (!server || !client) return std::nullopt;

    const std::uint32_t sequence = ++sequence_;
    const DiagRequest request = exact_request(*client, *server, sequence);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(netlink_, &request, sizeof request, 0, reinterpret_cast<const sockaddr *>(&kernel),
                        sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof request)) return std::nullopt;

    // Room for the socket's record and the attributes a kernel adds unasked.
    alignas(nlmsghdr) char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
    std::optional<PeerCredentials> result;
    for (;;) {
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n =
            ::recvfrom(netlink_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (n >= 0) {
            if (from.nl_pid != 0) continue;  // only the kernel's word counts
            if (read_answer(buffer, static_cast<std::size_t>(n), sequence, *client, *server, result) ==
                Reading::done)
                return result;
            continue;
        }
        if (errno == EINTR) continue;
        // ENOBUFS: answers were dropped for want of room, perhaps this one.
        if (errno != EAGAIN && errno != EWOULDBLOCK) return std::nullopt;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{netlink_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return std::nullopt;
    }
}

}  // namespace vavevard
