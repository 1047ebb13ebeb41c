// The event loop: one thread, epoll, non-blocking sockets. It owns the
// listening sockets and the connections, feeds each connection's bytes to its
// request parser and the requests to the router, and writes out what the
// router queued. A misbehaving connection is closed alone: one that breaks
// the protocol, does not complete its handshake in time, or holds the most
// when the daemon is over its memory bound; and one whose request could not
// be served for lack of memory, so that the daemon itself lives on.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "heap.h"
#include "http_endpoint.h"
#include "log.h"
#include "memory_account.h"
#include "peer_credentials.h"
#include "peer_identity.h"
#include "request.h"
#include "router.h"

namespace vavevard {

class Server {
public:
    explicit Server(RouterConfig config);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens on 127.0.0.1 and ::1 at `port` (0: a free port, the same on
    // both). False with `error` set when the port cannot be had. The IPv6
    // loopback is skipped, with a warning, on a machine without IPv6.
    bool listen(std::uint16_t port, std::string &error);
    std::uint16_t port() const noexcept { return port_; }

    // Serves on listening sockets made elsewhere (passed by the service
    // manager): at most one for IPv4 and one for IPv6, owned from then on.
    // False with `error` set otherwise.
    bool adopt_listeners(const std::vector<int> &fds, std::string &error);

    // Serves the monitoring endpoint (GET /stats, GET /metrics) on `address`
    // at `port` (0: a free one) from this loop; `timeoutMs` bounds each stage
    // of a monitoring connection. False with `error` set when the address
    // cannot be had.
    bool listen_http(const std::string &address, std::uint16_t port, std::int64_t timeoutMs,
                     std::string &error);
    std::uint16_t http_port() const noexcept { return http_ ? http_->port() : 0; }

    // Calls `ready` whenever `fd` (not owned) is readable, before anything
    // else of that turn is served; the loop stops when it returns false.
    void watch(int fd, std::function<bool()> ready);

    // Runs until stop() or the stop descriptor; returns 0, or 1 when the
    // event loop itself failed.
    int run();

    // One turn of the loop: waits at most `timeoutMs` (-1: until something
    // is ready or a time-out is due) and serves what is ready. False once
    // the server is stopping or the loop failed; run() is these turns and
    // the final closing.
    bool run_once(int timeoutMs);

    // Serves an already connected stream socket (a socketpair end, say) as
    // if it had been accepted; the server owns `fd` from then on. Tests and
    // the fuzz target drive the whole server this way without a network.
    // Returns the connection's client id, or 0 when it could not be added
    // (`fd` is closed then).
    ClientId adopt(int fd, std::string peer);

    // Puts a new access policy in force (on the loop's thread): users' groups
    // are read again, and connections holding what it no longer allows are
    // closed. Returns how many were.
    std::size_t set_policy(std::shared_ptr<const AccessPolicy> policy);

    // Makes run() return soon; callable from any thread and signal-safe.
    void stop() noexcept;

    // Valid on the loop's thread only (or after run() returned).
    Router &router() noexcept { return router_; }

private:
    struct Connection {
        int fd = -1;
        RequestParser parser;
        AccountedBytes input;       // what the parser holds
        bool wantWrite = false;
        bool wantRead = true;
        std::int64_t acceptedMs = 0;    // monotonic
        std::int64_t lastActiveMs = 0;  // monotonic: last byte read or written
        // Monotonic: when the client last took any of its output, or when
        // its output began to wait, whichever is later.
        std::int64_t lastTakenMs = 0;
        bool outputWaited = false;  // some output was left after the last send
        int lastUnread = 0;         // in the kernel's send queue at the last sweep
        std::optional<std::uint32_t> uid;
        std::optional<std::uint32_t> gid;  // the kernel's word, local sockets only
        Connection(const Limits &limits, std::shared_ptr<MemoryAccount> account)
            : parser(limits), input(std::move(account)) {}
    };

    bool bind_one(int family, std::uint16_t port, int &fd, std::string &error);
    void accept_all(int listenFd);
    void shed(int listenFd);
    ClientId add_connection(int fd, std::string peer, std::optional<PeerCredentials> credentials);
    void read_from(ClientId id);
    // `receivedMs`: when the bytes were read (wall clock), the time of every
    // event they complete.
    void serve(ClientId id, Connection &c, const char *data, std::size_t size, std::int64_t receivedMs);
    void flush(ClientId id);
    // Watches for what the connection can do next: reading stops while too
    // much of its output waits, writing is watched while any does.
    void update_interest(ClientId id, Connection &c, const Client &client);
    // How a connection ends. `by_client`: the client ended it (its groups
    // are told it disconnected); otherwise the daemon did (they are told it
    // was dropped). `abort` resets the connection rather than closing it:
    // what the kernel still holds for a client that does not read is thrown
    // away at once instead of being kept, unreadable, until it times out.
    enum class Close { by_client, by_daemon, abort };
    void close_client(ClientId id, std::string_view reason, Close how = Close::by_daemon);
    // Gives up a client whose request could not be served.
    void give_up(ClientId id, const char *what) noexcept;
    void settle();
    void enforce_memory_bound();
    void sweep(std::int64_t nowMs);
    // When the client last took any of its output, as far as can be told.
    std::int64_t taken(Connection &c, std::int64_t nowMs) noexcept;
    int next_timeout(int timeoutMs, std::int64_t nowMs);
    void set_listen_interest(bool on);
    void pause_accepting(const char *why);
    void resume_accepting();
    std::size_t user_limit() const noexcept;

    Limits limits_;
    Router router_;
    int epoll_ = -1;
    int wake_ = -1;       // eventfd written by stop()
    int spare_ = -1;      // kept open to accept and shed a client when out of descriptors
    int listen4_ = -1;
    int listen6_ = -1;
    std::vector<std::function<bool()>> watches_;
    std::uint16_t port_ = 0;
    bool stopping_ = false;
    bool failed_ = false;
    std::int64_t acceptResumeMs_ = 0;  // while accepting rests: when it resumes (monotonic)
    std::int64_t nextSweepMs_ = 0;     // monotonic
    std::unordered_map<ClientId, Connection> connections_;
    PeerLookup peers_;
    PeerDirectory directory_;
    std::map<std::uint32_t, std::size_t> perUser_;  // connections by the peer's uid
    HeapReleaser heap_;
    LogLimiter acceptLog_, closeLog_, memoryLog_;
    // Last, so that it goes before the router it reads.
    std::unique_ptr<HttpEndpoint> http_;
};

}  // namespace vavevard
