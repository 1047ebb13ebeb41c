// The monitoring endpoint: GET /stats and GET /metrics over HTTP/1.1, served
// by the daemon's own event loop. The server hands it the events of the
// descriptors it registered (their tags have kTagBit set) and calls sweep()
// with its own; everything it does is a few non-blocking calls per event, so
// a scraper costs the clients of the protocol nothing noticeable.
//
// What a monitoring client can make the daemon hold is bounded: at most
// kMaxConnections at once (more are accepted and closed at once), a request
// head of kMaxHttpHeadBytes, one answer of bounded size, and a time-out on
// every stage, so that neither a silent client nor one that does not read
// keeps a descriptor for long. What it holds is charged to the daemon's
// memory account; near the daemon's memory bound the answer is 503.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "http_request.h"
#include "http_stats.h"
#include "log.h"
#include "memory_account.h"
#include "peer_credentials.h"
#include "peer_identity.h"
#include "router.h"
#include "stats_json.h"

namespace vavevard {

class HttpEndpoint {
public:
    static constexpr std::uint64_t kTagBit = std::uint64_t{1} << 63;
    static constexpr std::size_t kMaxConnections = 16;

    // `timeoutMs`: how long a connection may take to send its request head,
    // and how long it may leave the answer unread.
    // Refused answers are counted in the router's refusedStats.
    HttpEndpoint(int epoll, Router &router, std::int64_t timeoutMs,
                 StatsDetailLimits detail = {});
    ~HttpEndpoint();
    HttpEndpoint(const HttpEndpoint &) = delete;
    HttpEndpoint &operator=(const HttpEndpoint &) = delete;

    // Listens on `address` (a numeric IPv4 or IPv6 address) at `port` (0: a
    // free one). False with `error` set when it cannot.
    bool listen(const std::string &address, std::uint16_t port, std::string &error);
    std::uint16_t port() const noexcept { return port_; }

    static bool owns(std::uint64_t tag) noexcept { return (tag & kTagBit) != 0; }
    void ready(std::uint64_t tag, std::uint32_t events);
    // Closes the connections whose time is up; `nowMs` is monotonic.
    void sweep(std::int64_t nowMs);

    const HttpStats &stats() const noexcept { return stats_; }

private:
    enum class Stage { reading, writing, draining };
    struct Connection {
        int fd = -1;
        Stage stage = Stage::reading;
        HttpRequestParser parser;
        std::string out;
        std::size_t sent = 0;
        std::int64_t deadlineMs = 0;  // monotonic
        AccountedBytes held;
        PeerIdentity who;  // the peer's owner, for the access policy
        explicit Connection(std::shared_ptr<MemoryAccount> account) : held(std::move(account)) {}
    };

    void accept_all();
    void shed();
    void read_from(std::uint64_t id, Connection &c);
    void answer(std::uint64_t id, Connection &c);
    std::string respond(const HttpRequest &request, const PeerIdentity &who, int &status);
    void write_to(std::uint64_t id, Connection &c);
    void watch(std::uint64_t id, const Connection &c, std::uint32_t events);
    void close(std::uint64_t id, bool abort = false);

    int epoll_;
    Router &router_;
    PeerLookup peers_;
    PeerDirectory directory_;  // forgotten after each connection: scrapers are few and rare
    std::int64_t timeoutMs_;
    StatsDetailLimits detail_;
    int listen_ = -1;
    int spare_ = -1;  // given up to accept and shed a connection when out of descriptors
    bool paused_ = false;
    std::uint16_t port_ = 0;
    std::uint64_t nextId_ = 1;
    std::unordered_map<std::uint64_t, Connection> connections_;
    HttpStats stats_;
    LogLimiter refusalLog_;
};

}  // namespace vavevard
