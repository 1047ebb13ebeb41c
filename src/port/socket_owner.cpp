#include "port/socket_owner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace vavevar {
namespace {

// An address and port in one form for both families: IPv4 as IPv4-mapped
// IPv6, which is also how a dual-stack socket reports an IPv4 peer.
struct Endpoint {
    std::uint8_t address[16] = {};
    std::uint16_t port = 0;  // network order
    std::uint32_t scope = 0;

    bool same_place(const Endpoint &other) const noexcept {
        return std::memcmp(address, other.address, sizeof address) == 0 && port == other.port;
    }
    bool is_v4() const noexcept {
        static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        return std::memcmp(address, kMapped, sizeof kMapped) == 0;
    }
    bool is_any() const noexcept {
        static constexpr std::uint8_t kZero[16] = {};
        return std::memcmp(address, kZero, 16) == 0 || (is_v4() && std::memcmp(address + 12, kZero, 4) == 0);
    }
    void set_v4(const void *four_bytes) noexcept {
        std::memset(address, 0, sizeof address);
        address[10] = address[11] = 0xff;
        std::memcpy(address + 12, four_bytes, 4);
    }
};

bool endpoint_of(const sockaddr_storage &storage, Endpoint &e) noexcept {
    if (storage.ss_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, &storage, sizeof in);
        e.set_v4(&in.sin_addr);
        e.port = in.sin_port;
        return true;
    }
    if (storage.ss_family == AF_INET6) {
        sockaddr_in6 in6;
        std::memcpy(&in6, &storage, sizeof in6);
        std::memcpy(e.address, &in6.sin6_addr, 16);
        e.port = in6.sin6_port;
        e.scope = in6.sin6_scope_id;
        return true;
    }
    return false;
}

// The address fields of a diagnostics socket id, read in the family the
// kernel reports the socket in.
void read_diag_address(std::uint8_t family, const __be32 (&field)[4], Endpoint &e) noexcept {
    if (family == AF_INET)
        e.set_v4(&field[0]);
    else
        std::memcpy(e.address, field, 16);
}

void write_diag_address(const Endpoint &e, bool v4, __be32 (&field)[4]) noexcept {
    if (v4)
        std::memcpy(&field[0], e.address + 12, 4);
    else
        std::memcpy(field, e.address, 16);
}

constexpr std::size_t kHeaderSize = NLMSG_ALIGN(sizeof(nlmsghdr));

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};
static_assert(sizeof(DiagRequest) == NLMSG_LENGTH(sizeof(inet_diag_req_v2)));

// The request for the one socket whose own end is `own` and whose remote end
// is `remote`. Without NLM_F_DUMP the kernel looks the socket up by its
// four-tuple instead of walking every socket; failing a connection there, it
// offers the listener on `own`, which is how a remote end of nothing (any
// address, port 0) finds the listener.
DiagRequest exact_request(const Endpoint &own, const Endpoint &remote, std::uint32_t sequence) noexcept {
    // Both ends of a mapped connection are IPv4 sockets to the kernel's
    // tables; asking in IPv4 finds them whichever family their owner chose.
    const bool v4 = own.is_v4() && (remote.is_v4() || remote.is_any());
    DiagRequest r{};
    r.header.nlmsg_len = sizeof r;
    r.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    r.header.nlmsg_flags = NLM_F_REQUEST;
    r.header.nlmsg_seq = sequence;
    r.body.sdiag_family = v4 ? AF_INET : AF_INET6;
    r.body.sdiag_protocol = IPPROTO_TCP;
    r.body.idiag_states = ~0u;
    r.body.id.idiag_sport = own.port;
    r.body.id.idiag_dport = remote.port;
    write_diag_address(own, v4, r.body.id.idiag_src);
    write_diag_address(remote, v4, r.body.id.idiag_dst);
    r.body.id.idiag_if = v4 ? 0 : own.scope;
    r.body.id.idiag_cookie[0] = r.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return r;
}

enum class Reading { more, done };

// Reads one datagram from the kernel. Messages of other sequence numbers are
// answers to requests given up on earlier and are passed over. `remote` null:
// the listener on `own` is asked for.
Reading read_answer(const char *data, std::size_t size, std::uint32_t sequence, const Endpoint &own,
                    const Endpoint *remote, SocketOwner &result) noexcept {
    std::size_t offset = 0;
    while (size - offset >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data + offset, sizeof header);
        if (header.nlmsg_len < kHeaderSize) return Reading::more;
        // A datagram longer than the buffer arrives cut; the record leads it.
        const char *payload = data + offset + kHeaderSize;
        const std::size_t whole = header.nlmsg_len < size - offset ? header.nlmsg_len : size - offset;
        const std::size_t payload_size = whole - kHeaderSize;
        const std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
        offset += step < size - offset ? step : size - offset;
        if (header.nlmsg_seq != sequence) continue;
        if (header.nlmsg_type == NLMSG_ERROR) {
            // ENOENT: no socket has that four-tuple (nor a listener its own end).
            nlmsgerr error{};
            if (payload_size >= sizeof error.error) std::memcpy(&error.error, payload, sizeof error.error);
            result.status = error.error == -ENOENT ? SocketOwnerStatus::no_such_socket : SocketOwnerStatus::unknown;
            return Reading::done;
        }
        if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || payload_size < sizeof(inet_diag_msg)) {
            result.status = SocketOwnerStatus::unknown;
            return Reading::done;
        }
        inet_diag_msg msg;
        std::memcpy(&msg, payload, sizeof msg);
        Endpoint source, destination;
        read_diag_address(msg.idiag_family, msg.id.idiag_src, source);
        read_diag_address(msg.idiag_family, msg.id.idiag_dst, destination);
        source.port = msg.id.idiag_sport;
        destination.port = msg.id.idiag_dport;
        // Asked for a connection, the kernel may offer the listener on its
        // own end instead: only the socket asked for will do. Asked for a
        // listener, one on the port at that address or at any address will.
        const bool match = remote != nullptr
                               ? source.same_place(own) && destination.same_place(*remote)
                               : msg.idiag_state == kTcpStateListen && source.port == own.port &&
                                     (source.same_place(own) || source.is_any());
        if (match) {
            result.status = SocketOwnerStatus::found;
            result.uid = msg.idiag_uid;
            result.inode = msg.idiag_inode;
            result.state = msg.idiag_state;
        } else {
            result.status = SocketOwnerStatus::no_such_socket;
        }
        return Reading::done;
    }
    return Reading::more;
}

long long now_ms() noexcept {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

SocketOwnerQuery::SocketOwnerQuery() noexcept
    : netlink_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG)) {}

SocketOwnerQuery::~SocketOwnerQuery() {
    if (netlink_ >= 0) ::close(netlink_);
}

SocketOwnerQuery::SocketOwnerQuery(SocketOwnerQuery &&other) noexcept
    : netlink_(other.netlink_), sequence_(other.sequence_) {
    other.netlink_ = -1;
}

SocketOwnerQuery &SocketOwnerQuery::operator=(SocketOwnerQuery &&other) noexcept {
    if (this != &other) {
        if (netlink_ >= 0) ::close(netlink_);
        netlink_ = other.netlink_;
        sequence_ = other.sequence_;
        other.netlink_ = -1;
    }
    return *this;
}

SocketOwner SocketOwnerQuery::connected(const sockaddr_storage &own, const sockaddr_storage &remote,
                                        int wait_ms) noexcept {
    return ask(own, &remote, wait_ms);
}

SocketOwner SocketOwnerQuery::listening(const sockaddr_storage &own, int wait_ms) noexcept {
    return ask(own, nullptr, wait_ms);
}

SocketOwner SocketOwnerQuery::peer_of(int fd, int wait_ms) noexcept {
    // The kernel is asked about TCP sockets only; another protocol's socket
    // may share a TCP connection's addresses and ports.
    int protocol = 0;
    socklen_t length = sizeof protocol;
    if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0 || protocol != IPPROTO_TCP)
        return SocketOwner{};
    sockaddr_storage local{}, remote{};
    socklen_t local_length = sizeof local, remote_length = sizeof remote;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &local_length) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr *>(&remote), &remote_length) != 0)
        return SocketOwner{};
    // The other end is the socket whose own address is our peer's and whose
    // peer is us.
    return ask(remote, &local, wait_ms);
}

SocketOwner SocketOwnerQuery::ask(const sockaddr_storage &own_address, const sockaddr_storage *remote_address,
                                  int wait_ms) noexcept {
    SocketOwner result;
    if (netlink_ < 0) return result;
    Endpoint own, remote;
    if (!endpoint_of(own_address, own)) return result;
    if (remote_address != nullptr && !endpoint_of(*remote_address, remote)) return result;

    const std::uint32_t sequence = ++sequence_;
    const DiagRequest request = exact_request(own, remote, sequence);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(netlink_, &request, sizeof request, 0, reinterpret_cast<const sockaddr *>(&kernel),
                        sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof request)) return result;

    // The kernel answers while it handles the request, so the answer is
    // queued before the send returns; the wait only keeps a kernel that fails
    // to answer from stalling the caller.
    alignas(nlmsghdr) char buffer[4096];  // the record and attributes a kernel adds unasked
    const long long deadline = now_ms() + (wait_ms > 0 ? wait_ms : 0);
    const Endpoint *wanted = remote_address != nullptr ? &remote : nullptr;
    for (;;) {
        sockaddr_nl from{};
        socklen_t from_length = sizeof from;
        const ssize_t n =
            ::recvfrom(netlink_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &from_length);
        if (n >= 0) {
            if (from.nl_pid != 0) continue;  // only the kernel's word counts
            if (read_answer(buffer, static_cast<std::size_t>(n), sequence, own, wanted, result) == Reading::done)
                return result;
            continue;
        }
        if (errno == EINTR) continue;
        // ENOBUFS: answers were dropped for want of room, perhaps this one.
        if (errno != EAGAIN && errno != EWOULDBLOCK) return result;
        const long long left = deadline - now_ms();
        if (left <= 0) return result;
        pollfd p{netlink_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return result;
    }
}

bool socket_address_is_loopback(const sockaddr_storage &address) noexcept {
    Endpoint e;
    if (!endpoint_of(address, e)) return false;
    if (e.is_v4()) return e.address[12] == 127;
    static constexpr std::uint8_t kOne[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(e.address, kOne, 16) == 0;
}

}  // namespace vavevar
