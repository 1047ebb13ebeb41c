#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "clock.h"
#include "log.h"

namespace vavevard {
namespace {

// epoll tags below this are the daemon's own descriptors; connection tags are
// their client ids plus this offset.
constexpr std::uint64_t kListen4 = 1, kListen6 = 2, kWake = 3, kStop = 4, kFirstClient = 16;
constexpr std::size_t kReadChunk = 64 * 1024;
// How long accepting rests when no descriptor is left even to shed a client.
constexpr std::int64_t kAcceptPauseMs = 100;

std::string peer_name(const sockaddr_storage &a) {
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (a.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&a);
        ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&a);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    port = ntohs(v6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

void close_fd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

Server::Server(RouterConfig config) : limits_(config.limits), router_(std::move(config)) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (epoll_ >= 0 && wake_ >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kWake;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
    }
}

Server::~Server() {
    for (auto &[id, c] : connections_) close_fd(c.fd);
    close_fd(listen4_);
    close_fd(listen6_);
    close_fd(spare_);
    close_fd(wake_);
    close_fd(epoll_);
}

bool Server::bind_one(int family, std::uint16_t port, int &fd, std::string &error) {
    fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (family == AF_INET) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&addr);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *v4;
    } else {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        v6->sin6_addr = in6addr_loopback;
        len = sizeof *v6;
    }
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(fd, 512) != 0) {
        int e = errno;
        close_fd(fd);
        errno = e;
        error = e == EADDRINUSE ? "the port is already in use" : std::strerror(e);
        return false;
    }
    return true;
}

bool Server::listen(std::uint16_t port, std::string &error) {
    if (epoll_ < 0 || wake_ < 0) {
        error = std::string("cannot create the event loop: ") + std::strerror(errno);
        return false;
    }
    // With port 0 the kernel picks the IPv4 port; the IPv6 side must get the
    // same number, and if that one is taken there, another pick is tried.
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::string why;
        if (!bind_one(AF_INET, port, listen4_, why)) {
            error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why;
            return false;
        }
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        ::getsockname(listen4_, reinterpret_cast<sockaddr *>(&bound), &len);
        port_ = ntohs(bound.sin_port);
        if (bind_one(AF_INET6, port_, listen6_, why)) break;
        int e = errno;
        if (e == EADDRNOTAVAIL || e == EAFNOSUPPORT) {
            logf(LogLevel::warn, "no IPv6 loopback (%s); listening on 127.0.0.1 only", why.c_str());
            break;
        }
        close_fd(listen4_);
        if (port != 0 || e != EADDRINUSE) {
            error = "cannot listen on [::1]:" + std::to_string(port_) + ": " + why;
            return false;
        }
    }
    if (listen4_ < 0) {
        error = "cannot find a port free on both loopback addresses";
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListen4;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listen4_, &ev);
    if (listen6_ >= 0) {
        ev.data.u64 = kListen6;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listen6_, &ev);
    }
    return true;
}

void Server::add_stop_fd(int fd) {
    stopFd_ = fd;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kStop;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
}

void Server::stop() noexcept {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

int Server::run() {
    while (run_once(-1)) {}
    logf(LogLevel::info, "stopping; closing %zu connections", connections_.size());
    while (!connections_.empty()) close_client(connections_.begin()->first, "daemon stopping");
    return failed_ ? 1 : 0;
}

bool Server::run_once(int timeoutMs) {
    constexpr int kBatch = 128;
    epoll_event events[kBatch];
    if (stopping_) return false;
    int timeout = timeoutMs;
    if (acceptResumeMs_ != 0) {
        std::int64_t left = acceptResumeMs_ - now_ms();
        if (left <= 0) resume_accepting();
        else if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
    }
    int n = ::epoll_wait(epoll_, events, kBatch, timeout);
    if (n < 0) {
        if (errno == EINTR) return true;
        logf(LogLevel::error, "event loop failed: %s", std::strerror(errno));
        failed_ = stopping_ = true;
        return false;
    }
    for (int i = 0; i < n && !stopping_; ++i) {
        std::uint64_t tag = events[i].data.u64;
        if (tag == kWake || tag == kStop) {
            stopping_ = true;
        } else if (tag == kListen4 || tag == kListen6) {
            accept_all(tag == kListen4 ? listen4_ : listen6_);
        } else {
            ClientId id = tag - kFirstClient;
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) read_from(id);
            if (events[i].events & EPOLLOUT) flush(id);
        }
        settle();
    }
    return !stopping_;
}

ClientId Server::adopt(int fd, std::string peer) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        ::close(fd);
        return 0;
    }
    return add_connection(fd, std::move(peer));
}

ClientId Server::add_connection(int fd, std::string peer) {
    ClientId id = router_.add_client(peer);
    auto [it, added] = connections_.emplace(id, Connection(limits_));
    it->second.fd = fd;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = id + kFirstClient;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    logf(LogLevel::debug, "client %llu (%s): accepted", static_cast<unsigned long long>(id),
         peer.c_str());
    return id;
}

void Server::accept_all(int listenFd) {
    for (;;) {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        int fd = ::accept4(listenFd, reinterpret_cast<sockaddr *>(&addr), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if ((errno == EMFILE || errno == ENFILE) && spare_ >= 0) {
                // Out of descriptors: take the waiting connection with the
                // spare one and close it, so it does not wake the loop forever.
                close_fd(spare_);
                int shed = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (shed >= 0) ::close(shed);
                spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                logf(LogLevel::error, "out of file descriptors; a new connection was refused");
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // Out of descriptors with no spare left to shed a client, or the
            // kernel short of memory: the waiting connections would keep the
            // listeners ready and the loop spinning, so accepting rests a
            // while and they wait in the backlog meanwhile.
            pause_accepting(std::strerror(errno));
            return;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        add_connection(fd, peer_name(addr));
    }
}

// One receive per wake-up: with level-triggered readiness the loop comes back
// for the rest, and a busy publisher cannot starve the other connections.
void Server::read_from(ClientId id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection &c = it->second;
    char buffer[kReadChunk];
    ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        close_client(id, n == 0 ? "disconnected" : std::strerror(errno), true);
        return;
    }
    router_.stats().bytesIn += static_cast<std::uint64_t>(n);
    c.parser.feed(buffer, static_cast<std::size_t>(n));
    for (;;) {
        Request request;
        auto status = c.parser.next(request);
        if (status == RequestParser::Status::need_more) return;
        std::string why;
        if (status == RequestParser::Status::error) why = c.parser.error();
        else if (router_.handle(id, std::move(request), why)) continue;
        ++router_.stats().malformedDisconnects;
        const Client *client = router_.client(id);
        logf(LogLevel::warn, "client %llu (%s): malformed request, closing: %s",
             static_cast<unsigned long long>(id), client ? client->peer.c_str() : "?", why.c_str());
        close_client(id, "malformed request");
        return;
    }
}

void Server::set_write_interest(ClientId id, Connection &c, bool on) {
    if (c.wantWrite == on) return;
    c.wantWrite = on;
    epoll_event ev{};
    ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
    ev.data.u64 = id + kFirstClient;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
}

void Server::flush(ClientId id) {
    auto it = connections_.find(id);
    Client *client = router_.client(id);
    if (it == connections_.end() || client == nullptr || client->doomed) return;
    ssize_t sent = client->out.send_to(it->second.fd, now_ms());
    if (sent < 0) {
        close_client(id, std::strerror(errno), true);
        return;
    }
    router_.stats().bytesOut += static_cast<std::uint64_t>(sent);
    if (client->out.empty() && client->closeWhenFlushed) {
        close_client(id, "refused");
        return;
    }
    set_write_interest(id, it->second, !client->out.empty());
}

void Server::set_listen_interest(bool on) {
    epoll_event ev{};
    ev.events = on ? EPOLLIN : 0u;
    for (auto [fd, tag] : {std::pair{listen4_, kListen4}, std::pair{listen6_, kListen6}}) {
        if (fd < 0) continue;
        ev.data.u64 = tag;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
    }
}

void Server::pause_accepting(const char *why) {
    acceptResumeMs_ = now_ms() + kAcceptPauseMs;
    set_listen_interest(false);
    logf(LogLevel::error, "accept failed: %s; not accepting for %lld ms", why,
         static_cast<long long>(kAcceptPauseMs));
}

void Server::resume_accepting() {
    acceptResumeMs_ = 0;
    if (spare_ < 0) spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    set_listen_interest(true);
}

void Server::close_client(ClientId id, std::string_view reason, bool byClient) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.fd, nullptr);
    close_fd(it->second.fd);
    connections_.erase(it);
    if (const Client *c = router_.client(id))
        logf(c->connected ? LogLevel::info : LogLevel::debug, "client %llu (%s): closed (%.*s)",
             static_cast<unsigned long long>(id), c->peer.c_str(), static_cast<int>(reason.size()),
             reason.data());
    router_.remove_client(id, byClient ? "disconnected" : "dropped", !stopping_);
}

// Closing one client can queue membership deltas for others, which can push
// another slow client over its bound; repeat until nothing is left to do.
void Server::settle() {
    for (;;) {
        auto doomed = router_.take_doomed();
        auto dirty = router_.take_dirty();
        if (doomed.empty() && dirty.empty()) return;
        for (ClientId id : doomed) close_client(id, "slow consumer");
        for (ClientId id : dirty) flush(id);
    }
}

}  // namespace vavevard
