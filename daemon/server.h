// The event loop: one thread, epoll, non-blocking sockets. It owns the
// listening sockets and the connections, feeds each connection's bytes to its
// request parser and the requests to the router, and writes out what the
// router queued. A misbehaving connection is closed alone.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

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

    // A descriptor whose readability means "stop" (a signalfd); not owned.
    void add_stop_fd(int fd);

    // Runs until stop() or the stop descriptor; returns 0, or 1 when the
    // event loop itself failed.
    int run();

    // One turn of the loop: waits at most `timeoutMs` (-1: until something
    // is ready) and serves what is ready. False once the server is stopping
    // or the loop failed; run() is these turns and the final closing.
    bool run_once(int timeoutMs);

    // Serves an already connected stream socket (a socketpair end, say) as
    // if it had been accepted; the server owns `fd` from then on. Tests and
    // the fuzz target drive the whole server this way without a network.
    // Returns the connection's client id, or 0 when it could not be added
    // (`fd` is closed then).
    ClientId adopt(int fd, std::string peer);

    // Makes run() return soon; callable from any thread and signal-safe.
    void stop() noexcept;

    // Valid on the loop's thread only (or after run() returned).
    Router &router() noexcept { return router_; }

private:
    struct Connection {
        int fd = -1;
        RequestParser parser;
        bool wantWrite = false;
        explicit Connection(const Limits &limits) : parser(limits) {}
    };

    bool bind_one(int family, std::uint16_t port, int &fd, std::string &error);
    void accept_all(int listenFd);
    ClientId add_connection(int fd, std::string peer);
    void read_from(ClientId id);
    void flush(ClientId id);
    // `byClient`: the client ended the connection (its groups are told it
    // disconnected) rather than the daemon (they are told it was dropped).
    void close_client(ClientId id, std::string_view reason, bool byClient = false);
    void settle();
    void set_listen_interest(bool on);
    void pause_accepting(const char *why);
    void resume_accepting();
    void set_write_interest(ClientId id, Connection &c, bool on);

    Limits limits_;
    Router router_;
    int epoll_ = -1;
    int wake_ = -1;       // eventfd written by stop()
    int spare_ = -1;      // kept open to accept and shed a client when out of descriptors
    int listen4_ = -1;
    int listen6_ = -1;
    int stopFd_ = -1;
    std::uint16_t port_ = 0;
    bool stopping_ = false;
    bool failed_ = false;
    std::int64_t acceptResumeMs_ = 0;  // while accepting rests: when it resumes
    std::unordered_map<ClientId, Connection> connections_;
};

}  // namespace vavevard
