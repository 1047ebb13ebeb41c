#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "clock.h"
#include "log.h"

namespace vavevard {
namespace {

// epoll tags below this are the daemon's own descriptors; connection tags are
// their client ids plus this offset.
constexpr std::uint64_t kListen4 = 1, kListen6 = 2, kWake = 3, kFirstWatch = 4,
                        kFirstClient = 16;
constexpr std::size_t kReadChunk = 64 * 1024;
// How long accepting rests when no descriptor is left even to shed a client.
constexpr std::int64_t kAcceptPauseMs = 100;
// Connections taken per wake-up of a listener, so that a flood of new ones
// cannot starve the connections already there.
constexpr int kAcceptBatch = 64;
// How often time-outs are looked for, at most; a time-out fires within this
// much after it is due.
constexpr std::int64_t kSweepMs = 1000;
// When over the memory bound, a connection holding less than this is not
// worth dropping: what is held then is in subscriptions, which new ones are
// refused from adding to.
constexpr std::size_t kMinimumDrop = 64 * 1024;

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

Server::Server(RouterConfig config)
    : limits_(config.limits), router_(std::move(config)), acceptLog_(3), closeLog_(20), memoryLog_(5) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (!peers_.available())
        logf(LogLevel::warn, "the kernel does not say who owns a TCP peer; connections are not "
                             "bounded per user, and their handshakes are refused unless "
                             "allow-unknown-peers = yes");
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

bool Server::adopt_listeners(const std::vector<int> &fds, std::string &error) {
    if (epoll_ < 0 || wake_ < 0) {
        error = std::string("cannot create the event loop: ") + std::strerror(errno);
        return false;
    }
    for (int fd : fds) {
        sockaddr_storage address{};
        socklen_t len = sizeof address;
        int flags = ::fcntl(fd, F_GETFL);
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &len) != 0 || flags < 0 ||
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            error = "passed socket " + std::to_string(fd) + ": " + std::strerror(errno);
            return false;
        }
        int &slot = address.ss_family == AF_INET ? listen4_ : listen6_;
        if ((address.ss_family != AF_INET && address.ss_family != AF_INET6) || slot >= 0) {
            error = "passed socket " + std::to_string(fd) + ": not the one IPv4 or IPv6 listener expected";
            return false;
        }
        slot = fd;
        port_ = ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in *>(&address)->sin_port
                                                   : reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = address.ss_family == AF_INET ? kListen4 : kListen6;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    }
    if (fds.empty()) {
        error = "no sockets were passed";
        return false;
    }
    return true;
}

bool Server::listen_http(const std::string &address, std::uint16_t port, std::int64_t timeoutMs,
                         std::string &error) {
    auto endpoint = std::make_unique<HttpEndpoint>(epoll_, router_, timeoutMs);
    if (!endpoint->listen(address, port, error)) return false;
    http_ = std::move(endpoint);
    return true;
}

void Server::watch(int fd, std::function<bool()> ready) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kFirstWatch + watches_.size();
    if (ev.data.u64 >= kFirstClient) return;
    watches_.push_back(std::move(ready));
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

int Server::next_timeout(int timeoutMs, std::int64_t nowMs) {
    std::int64_t due = nextSweepMs_;
    if (acceptResumeMs_ != 0 && acceptResumeMs_ < due) due = acceptResumeMs_;
    std::int64_t left = due > nowMs ? due - nowMs : 0;
    return timeoutMs >= 0 && timeoutMs < left ? timeoutMs : static_cast<int>(left);
}

bool Server::run_once(int timeoutMs) {
    constexpr int kBatch = 128;
    epoll_event events[kBatch];
    if (stopping_) return false;
    std::int64_t now = mono_ms();
    if (acceptResumeMs_ != 0 && acceptResumeMs_ <= now) resume_accepting();
    if (nextSweepMs_ <= now) {
        try {
            sweep(now);
        } catch (const std::exception &e) {
            ++router_.stats().allocationFailures;
            memoryLog_.logf(LogLevel::error, "looking for time-outs: %s; going on", e.what());
        }
    }
    int n = ::epoll_wait(epoll_, events, kBatch, next_timeout(timeoutMs, now));
    if (n < 0) {
        if (errno == EINTR) return true;
        logf(LogLevel::error, "event loop failed: %s", std::strerror(errno));
        failed_ = stopping_ = true;
        return false;
    }
    // A stop is seen before anything else of this turn is served, however
    // much that is.
    for (int i = 0; i < n; ++i) {
        std::uint64_t tag = events[i].data.u64;
        if (tag == kWake) stopping_ = true;
        if (tag >= kFirstWatch && tag < kFirstClient && !watches_[tag - kFirstWatch]()) stopping_ = true;
    }
    for (int i = 0; i < n && !stopping_; ++i) {
        std::uint64_t tag = events[i].data.u64;
        try {
            if (tag == kListen4 || tag == kListen6) {
                accept_all(tag == kListen4 ? listen4_ : listen6_);
            } else if (HttpEndpoint::owns(tag)) {
                if (http_) http_->ready(tag, events[i].events);
            } else if (tag >= kFirstClient) {
                ClientId id = tag - kFirstClient;
                if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) read_from(id);
                if (events[i].events & EPOLLOUT) flush(id);
            }
            settle();
        } catch (const std::exception &e) {
            // Whatever a client's failure left undone is given up with that
            // client where it was known; this is the last line, so the loop
            // goes on for everyone else.
            ++router_.stats().allocationFailures;
            memoryLog_.logf(LogLevel::error, "serving the event loop: %s; going on", e.what());
        }
    }
    heap_.observe(router_.account()->held());
    return !stopping_;
}

ClientId Server::adopt(int fd, std::string peer) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        ::close(fd);
        return 0;
    }
    try {
        return add_connection(fd, std::move(peer), peers_.lookup(fd));
    } catch (const std::bad_alloc &) {
        ::close(fd);
        return 0;
    }
}

std::size_t Server::set_policy(std::shared_ptr<const AccessPolicy> policy) {
    directory_.forget();
    for (auto &[id, c] : connections_)
        if (Client *client = router_.client(id)) client->who = directory_.identify(c.uid, c.gid);
    std::vector<ClientId> revoked = router_.set_policy(std::move(policy));
    for (ClientId id : revoked) {
        ++router_.stats().policyDisconnects;
        if (const Client *c = router_.client(id))
            closeLog_.logf(LogLevel::warn, "client %llu (%s, uid %s): the new access policy takes away what it holds; closing",
                           static_cast<unsigned long long>(id), c->peer.c_str(),
                           c->uid ? std::to_string(*c->uid).c_str() : "unknown");
        close_client(id, "access revoked");
    }
    settle();
    return revoked.size();
}

std::size_t Server::user_limit() const noexcept {
    if (limits_.maxConnectionsPerUser != 0) return limits_.maxConnectionsPerUser;
    // Below a handful the share would bound a user more tightly than the
    // daemon's own limit does.
    std::size_t share = limits_.maxClients - limits_.maxClients / 4;
    return share > 8 ? share : 8;
}

// Throws std::bad_alloc with nothing added (and `fd` still the caller's).
ClientId Server::add_connection(int fd, std::string peer, std::optional<PeerCredentials> credentials) {
    std::optional<std::uint32_t> uid;
    if (credentials) uid = credentials->uid;
    ClientId id = router_.add_client(peer, directory_.identify(uid, credentials ? credentials->gid : std::nullopt));
    try {
        auto [it, added] = connections_.emplace(id, Connection(limits_, router_.account()));
        Connection &c = it->second;
        c.fd = fd;
        c.uid = uid;
        if (credentials) c.gid = credentials->gid;
        c.acceptedMs = c.lastActiveMs = c.lastTakenMs = mono_ms();
        c.parser.set_handshake_only(true);
        c.input.set(c.parser.held());
        if (uid) ++perUser_[*uid];
    } catch (...) {
        connections_.erase(id);
        router_.remove_client(id, "dropped", false);
        throw;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = id + kFirstClient;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    logf(LogLevel::debug, "client %llu (%s, uid %s): accepted", static_cast<unsigned long long>(id),
         peer.c_str(), uid ? std::to_string(*uid).c_str() : "unknown");
    return id;
}

// Out of descriptors: the waiting connection is taken with the spare one and
// closed at once, so that it does not keep the listener ready. Then back to
// the loop: accepting again here would fail the same way whether or not
// another connection waits, since the descriptor is needed first.
void Server::shed(int listenFd) {
    close_fd(spare_);
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        ++router_.stats().connectionsRefused;
    }
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    acceptLog_.logf(LogLevel::error, "out of file descriptors; a new connection was refused");
}

void Server::accept_all(int listenFd) {
    for (int taken = 0; taken < kAcceptBatch; ++taken) {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        int fd = ::accept4(listenFd, reinterpret_cast<sockaddr *>(&addr), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if ((errno == EMFILE || errno == ENFILE) && spare_ >= 0) {
                shed(listenFd);
                return;
            }
            // Out of descriptors with no spare left to shed a client, or the
            // kernel short of memory: the waiting connections would keep the
            // listeners ready and the loop spinning, so accepting rests a
            // while and they wait in the backlog meanwhile.
            pause_accepting(std::strerror(errno));
            return;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A peer whose owner cannot be learnt (the kernel facility missing,
        // or the client gone already) is held to no user's bound; the access
        // policy refuses its handshake unless told otherwise.
        std::optional<PeerCredentials> credentials = peers_.lookup(fd);
        std::optional<std::uint32_t> uid;
        if (credentials) uid = credentials->uid;
        if (uid) {
            auto user = perUser_.find(*uid);
            if (user != perUser_.end() && user->second >= user_limit()) {
                ::close(fd);
                ++router_.stats().connectionsRefused;
                acceptLog_.logf(LogLevel::warn, "user %u holds %zu connections (limit %zu); a new one was refused",
                                *uid, user->second, user_limit());
                continue;
            }
        }
        try {
            add_connection(fd, peer_name(addr), credentials);
        } catch (const std::bad_alloc &) {
            ::close(fd);
            ++router_.stats().allocationFailures;
            memoryLog_.logf(LogLevel::error, "out of memory accepting a connection; it was closed");
        }
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
        close_client(id, n == 0 ? "disconnected" : std::strerror(errno), Close::by_client);
        return;
    }
    c.lastActiveMs = mono_ms();
    router_.stats().bytesIn += static_cast<std::uint64_t>(n);
    if (Client *client = router_.client(id)) client->bytesIn += static_cast<std::uint64_t>(n);
    try {
        serve(id, c, buffer, static_cast<std::size_t>(n), now_ms());
    } catch (const std::bad_alloc &) {
        give_up(id, "out of memory");
    } catch (const std::exception &e) {
        give_up(id, e.what());
    }
}

// Parses and hands on every request the bytes complete. `c` may be closed
// on return.
void Server::serve(ClientId id, Connection &c, const char *data, std::size_t size,
                   std::int64_t receivedMs) {
    c.parser.feed(data, size);
    Request request;  // one for all, so that consecutive events reuse its buffers
    for (;;) {
        auto status = c.parser.next(request);
        if (status == RequestParser::Status::need_more) break;
        std::string why;
        if (status == RequestParser::Status::error) why = c.parser.error();
        else if (router_.handle(id, std::move(request), why, receivedMs)) {
            const Client *client = router_.client(id);
            if (client != nullptr && client->connected) c.parser.set_handshake_only(false);
            continue;
        }
        ++router_.stats().malformedDisconnects;
        const Client *client = router_.client(id);
        closeLog_.logf(LogLevel::warn, "client %llu (%s): malformed request, closing: %s",
                       static_cast<unsigned long long>(id), client ? client->peer.c_str() : "?",
                       why.c_str());
        close_client(id, "malformed request");
        return;
    }
    c.parser.shrink();
    c.input.set(c.parser.held());
    if (Client *client = router_.client(id)) update_interest(id, c, *client);
}

void Server::give_up(ClientId id, const char *what) noexcept {
    ++router_.stats().allocationFailures;
    memoryLog_.logf(LogLevel::error, "client %llu: %s while serving it; closing it",
                    static_cast<unsigned long long>(id), what);
    close_client(id, what, Close::abort);
}

void Server::update_interest(ClientId id, Connection &c, const Client &client) {
    std::size_t pauseAt =
        client.connected ? limits_.readPauseBytes : limits_.readPauseBytesBeforeHandshake;
    bool read = client.out.pending() <= pauseAt && !client.closeWhenFlushed;
    bool write = !client.out.empty();
    if (read == c.wantRead && write == c.wantWrite) return;
    c.wantRead = read;
    c.wantWrite = write;
    epoll_event ev{};
    ev.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
    ev.data.u64 = id + kFirstClient;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
}

void Server::flush(ClientId id) {
    auto it = connections_.find(id);
    Client *client = router_.client(id);
    if (it == connections_.end() || client == nullptr) return;
    Connection &c = it->second;
    ssize_t sent = client->out.send_to(c.fd, now_ms());
    if (sent < 0) {
        close_client(id, std::strerror(errno), Close::by_client);
        return;
    }
    if (sent > 0 || !c.outputWaited) c.lastTakenMs = mono_ms();
    if (sent > 0) c.lastActiveMs = c.lastTakenMs;
    c.outputWaited = !client->out.empty();
    router_.output_changed(*client);
    router_.stats().bytesOut += static_cast<std::uint64_t>(sent);
    client->bytesOut += static_cast<std::uint64_t>(sent);
    if (client->out.empty() && client->closeWhenFlushed) {
        close_client(id, "refused");
        return;
    }
    update_interest(id, c, *client);
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
    acceptResumeMs_ = mono_ms() + kAcceptPauseMs;
    set_listen_interest(false);
    acceptLog_.logf(LogLevel::error, "accept failed: %s; not accepting for %lld ms", why,
                    static_cast<long long>(kAcceptPauseMs));
}

void Server::resume_accepting() {
    acceptResumeMs_ = 0;
    if (spare_ < 0) spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    set_listen_interest(true);
}

void Server::close_client(ClientId id, std::string_view reason, Close how) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.fd, nullptr);
    if (how == Close::abort) {
        linger reset{1, 0};
        ::setsockopt(it->second.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close_fd(it->second.fd);
    if (it->second.uid) {
        auto user = perUser_.find(*it->second.uid);
        if (user != perUser_.end() && --user->second == 0) perUser_.erase(user);
    }
    connections_.erase(it);
    if (const Client *c = router_.client(id)) {
        std::string uid = c->uid ? std::to_string(*c->uid) : std::string("unknown");
        if (c->connected)
            closeLog_.logf(LogLevel::info, "client %llu (%s, uid %s): closed (%.*s)",
                           static_cast<unsigned long long>(id), c->peer.c_str(), uid.c_str(),
                           static_cast<int>(reason.size()), reason.data());
        else
            logf(LogLevel::debug, "client %llu (%s, uid %s): closed (%.*s)", static_cast<unsigned long long>(id),
                 c->peer.c_str(), uid.c_str(), static_cast<int>(reason.size()), reason.data());
    }
    router_.remove_client(id, how == Close::by_client ? "disconnected" : "dropped", !stopping_);
}

// Writing to one client can queue its gap notices, and closing one can queue
// membership deltas for others; repeat until nothing is left to do.
void Server::settle() {
    for (;;) {
        auto dirty = router_.take_dirty();
        if (dirty.empty()) break;
        for (ClientId id : dirty) flush(id);
    }
    enforce_memory_bound();
}

// Over the daemon-wide bound, the connection holding the most (unread output
// or a large request on its way in) is dropped, until the daemon is under it.
// Refusing new work past the high-water mark keeps this rare.
void Server::enforce_memory_bound() {
    while (router_.account()->held() > limits_.maxTotalBytes) {
        ClientId worst = 0;
        std::size_t most = 0;
        for (auto &[id, c] : connections_) {
            const Client *client = router_.client(id);
            std::size_t holds = c.input.get() + (client ? client->out.pending() : 0);
            if (holds > most) {
                most = holds;
                worst = id;
            }
        }
        if (most < kMinimumDrop) return;
        ++router_.stats().memoryDisconnects;
        memoryLog_.logf(LogLevel::warn,
                        "holding %zu bytes, over the limit of %zu: dropping client %llu, which holds %zu",
                        router_.account()->held(), limits_.maxTotalBytes,
                        static_cast<unsigned long long>(worst), most);
        close_client(worst, "over the daemon's memory limit", Close::abort);
        settle();
    }
}

// A client that reads slowly may take less than the kernel holds for it: the
// daemon then sends nothing until the socket has room for a good part of its
// buffer again, which can take longer than the client's reading does. What
// the kernel still holds for it shrinking says it read.
std::int64_t Server::taken(Connection &c, std::int64_t nowMs) noexcept {
    int unread = 0;
    if (::ioctl(c.fd, SIOCOUTQ, &unread) == 0) {
        if (unread < c.lastUnread) c.lastTakenMs = nowMs;
        c.lastUnread = unread;
    }
    return c.lastTakenMs;
}

// Closes the connections whose time is up, lets the replay window's events
// go once it has passed, and gives back to the system what a burst left free.
void Server::sweep(std::int64_t nowMs) {
    nextSweepMs_ = nowMs + kSweepMs;
    enum class Expired { handshake, idle, slow };
    std::vector<std::pair<ClientId, Expired>> expired;
    for (auto &[id, c] : connections_) {
        const Client *client = router_.client(id);
        if (client == nullptr) continue;
        if (!client->connected && limits_.handshakeTimeoutMs > 0 &&
            nowMs - c.acceptedMs >= limits_.handshakeTimeoutMs)
            expired.emplace_back(id, Expired::handshake);
        else if (client->connected && limits_.slowClientTimeoutMs > 0 && !client->out.empty() &&
                 nowMs - taken(c, nowMs) >= limits_.slowClientTimeoutMs)
            expired.emplace_back(id, Expired::slow);
        else if (client->connected && limits_.idleTimeoutMs > 0 &&
                 nowMs - c.lastActiveMs >= limits_.idleTimeoutMs)
            expired.emplace_back(id, Expired::idle);
    }
    for (auto [id, why] : expired) {
        if (why == Expired::slow) {
            auto c = connections_.find(id);
            const Client *client = router_.client(id);
            if (c == connections_.end() || client == nullptr) continue;
            ++router_.stats().slowConsumerDisconnects;
            closeLog_.logf(LogLevel::warn,
                           "client %llu (self id \"%s\"): %zu bytes of output waiting and none read "
                           "for %lld s; closing",
                           static_cast<unsigned long long>(id), client->selfId.c_str(),
                           client->out.pending(), static_cast<long long>((nowMs - c->second.lastTakenMs) / 1000));
            close_client(id, "slow client time-out", Close::abort);
            continue;
        }
        bool handshake = why == Expired::handshake;
        ++router_.stats().timeoutDisconnects;
        closeLog_.logf(LogLevel::info, "client %llu: %s; closing", static_cast<unsigned long long>(id),
                       handshake ? "no handshake in time" : "idle too long");
        close_client(id, handshake ? "handshake time-out" : "idle time-out", Close::abort);
    }
    router_.expire_replay(nowMs);
    if (http_) http_->sweep(nowMs);
    settle();
    heap_.release(router_.account()->held());
}

}  // namespace vavevard
