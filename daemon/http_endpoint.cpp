#include "http_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "clock.h"
#include "http_response.h"
#include "log.h"
#include "stats_metrics.h"

namespace vavevard {
namespace {

constexpr int kAcceptBatch = 16;

}  // namespace

HttpEndpoint::HttpEndpoint(int epoll, Router &router, std::int64_t timeoutMs, StatsDetailLimits detail)
    : epoll_(epoll), router_(router), timeoutMs_(timeoutMs), detail_(detail) {
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

HttpEndpoint::~HttpEndpoint() {
    for (auto &[id, c] : connections_) ::close(c.fd);
    if (listen_ >= 0) ::close(listen_);
    if (spare_ >= 0) ::close(spare_);
}

bool HttpEndpoint::listen(const std::string &address, std::uint16_t port, std::string &error) {
    sockaddr_storage addr{};
    socklen_t len = 0;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&addr);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&addr);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    } else {
        error = "'" + address + "' is not a numeric IPv4 or IPv6 address";
        return false;
    }
    int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(fd, 64) != 0) {
        int e = errno;
        if (fd >= 0) ::close(fd);
        error = e == EADDRINUSE ? "the port is already in use" : std::strerror(e);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t boundLen = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &boundLen);
    port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in *>(&bound)->sin_port
                                             : reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kTagBit;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    listen_ = fd;
    return true;
}

void HttpEndpoint::ready(std::uint64_t tag, std::uint32_t events) {
    std::uint64_t id = tag & ~kTagBit;
    if (id == 0) {
        accept_all();
        return;
    }
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection &c = it->second;
    try {
        if (c.stage == Stage::writing) {
            if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) write_to(id, c);
        } else if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            read_from(id, c);
        }
    } catch (const std::bad_alloc &) {
        // The answer could not be built: this client goes, the daemon lives on.
        logf(LogLevel::error, "monitoring connection: out of memory answering it; closing it");
        close(id, true);
    }
}

// Out of descriptors: the waiting connection is taken with the spare one and
// closed, so that it does not keep the listener ready.
void HttpEndpoint::shed() {
    ::close(spare_);
    int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        ++stats_.connectionsRefused;
    }
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void HttpEndpoint::accept_all() {
    for (int taken = 0; taken < kAcceptBatch; ++taken) {
        int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if ((errno == EMFILE || errno == ENFILE) && spare_ >= 0) {
                shed();
                return;
            }
            // Nothing to shed with, or the kernel short of memory: the
            // listener rests until the next sweep rather than spin the loop.
            paused_ = true;
            epoll_event ev{};
            ev.data.u64 = kTagBit;
            ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listen_, &ev);
            return;
        }
        if (connections_.size() >= kMaxConnections) {
            ::close(fd);
            ++stats_.connectionsRefused;
            continue;
        }
        std::uint64_t id = nextId_++;
        try {
            auto [it, added] = connections_.emplace(id, Connection(router_.account()));
            it->second.fd = fd;
            it->second.deadlineMs = mono_ms() + timeoutMs_;
            // Learnt before any byte is read, from the same kernel lookup as
            // the protocol's peers.
            std::optional<std::uint32_t> uid, gid;
            if (auto credentials = peers_.lookup(fd)) {
                uid = credentials->uid;
                gid = credentials->gid;
            }
            it->second.who = directory_.identify(uid, gid);
            directory_.forget();
        } catch (const std::bad_alloc &) {
            ::close(fd);
            ++stats_.connectionsRefused;
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kTagBit | id;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        ++stats_.connectionsAccepted;
        stats_.connections = connections_.size();
    }
}

void HttpEndpoint::read_from(std::uint64_t id, Connection &c) {
    char buffer[kMaxHttpHeadBytes];
    ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        close(id);
        return;
    }
    // After the answer, what the client still sends (a body it was not asked
    // for) is read and dropped until it closes: closing with unread input
    // would reset the connection and could lose the answer on its way.
    if (c.stage == Stage::draining) return;
    if (c.parser.feed(std::string_view(buffer, static_cast<std::size_t>(n))) == HttpRequestParser::Status::need_more) {
        c.held.set(c.parser.held());
        return;
    }
    answer(id, c);
}

std::string HttpEndpoint::respond(const HttpRequest &request, const PeerIdentity &who, int &status) {
    bool head = request.method == "HEAD";
    if (request.path != "/stats" && request.path != "/metrics") {
        status = 404;
        return http_response(status, kTextType, "not found: the paths are /stats and /metrics\n", head);
    }
    if (request.method != "GET" && !head) {
        status = 405;
        return http_response(status, kTextType, "only GET and HEAD are served\n", false, "Allow: GET, HEAD\r\n");
    }
    if (!router_.policy().may_read_stats(who)) {
        status = 403;
        ++router_.stats().refusedStats;
        std::string why = AccessPolicy::describe(who) + " may not read the daemon's statistics";
        refusalLog_.logf(LogLevel::warn, "monitoring connection: %s %s refused: %s", request.method.c_str(),
                         request.path.c_str(), why.c_str());
        return http_response(status, kTextType, why + "\n", head);
    }
    if (router_.over_high_water()) {
        status = 503;
        return http_response(status, kTextType, "the daemon is near its memory limit\n", head,
                             "Retry-After: 10\r\n");
    }
    status = 200;
    if (request.path == "/stats")
        return http_response(status, kJsonType, render_stats_json(router_, stats_, now_ms(), detail_), head);
    return http_response(status, kMetricsType, render_metrics(router_, stats_, now_ms()), head);
}

void HttpEndpoint::answer(std::uint64_t id, Connection &c) {
    int status = 0;
    if (c.parser.state() == HttpRequestParser::Status::error) {
        status = c.parser.status();
        c.out = http_response(status, kTextType, c.parser.error() + "\n");
    } else {
        c.out = respond(c.parser.request(), c.who, status);
    }
    stats_.count_response(status);
    if (c.parser.state() == HttpRequestParser::Status::error)
        logf(LogLevel::debug, "monitoring connection: %d, %s", status, c.parser.error().c_str());
    else
        logf(LogLevel::debug, "monitoring connection: %s %s: %d", c.parser.request().method.c_str(),
             c.parser.request().target.c_str(), status);
    c.held.set(c.parser.held() + c.out.capacity());
    c.stage = Stage::writing;
    c.deadlineMs = mono_ms() + timeoutMs_;
    watch(id, c, EPOLLOUT);
    write_to(id, c);
}

void HttpEndpoint::write_to(std::uint64_t id, Connection &c) {
    while (c.sent < c.out.size()) {
        ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            close(id, true);
            return;
        }
        c.sent += static_cast<std::size_t>(n);
        c.deadlineMs = mono_ms() + timeoutMs_;
    }
    std::string().swap(c.out);
    c.held.set(0);
    ::shutdown(c.fd, SHUT_WR);
    c.stage = Stage::draining;
    watch(id, c, EPOLLIN);
}

void HttpEndpoint::watch(std::uint64_t id, const Connection &c, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = kTagBit | id;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
}

void HttpEndpoint::close(std::uint64_t id, bool abort) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.fd, nullptr);
    if (abort) {
        linger reset{1, 0};
        ::setsockopt(it->second.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ::close(it->second.fd);
    connections_.erase(it);
    stats_.connections = connections_.size();
}

void HttpEndpoint::sweep(std::int64_t nowMs) {
    if (paused_ && listen_ >= 0) {
        paused_ = false;
        if (spare_ < 0) spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kTagBit;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listen_, &ev);
    }
    std::vector<std::uint64_t> expired;
    for (auto &[id, c] : connections_)
        if (nowMs >= c.deadlineMs) expired.push_back(id);
    for (std::uint64_t id : expired) {
        Connection &c = connections_.find(id)->second;
        if (c.stage == Stage::draining) {
            close(id);
            continue;
        }
        ++stats_.timeouts;
        // A client still sending its head is told why, in one try: if the
        // answer does not fit its socket at once it is not waited for.
        if (c.stage == Stage::reading) {
            stats_.count_response(408);
            std::string timeout = http_response(408, kTextType, "no complete request in time\n");
            [[maybe_unused]] ssize_t n = ::send(c.fd, timeout.data(), timeout.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        close(id, c.stage == Stage::writing);
    }
}

}  // namespace vavevard
