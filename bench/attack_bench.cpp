// Attack benchmark: what hostile but protocol-abiding local clients cost
// vavevard, and what they do meanwhile to a well-behaved client's delivery.
//
// Run without a role it is the driver. For each phase it starts a fresh
// daemon on a free port with a temporary home, then
//   1. runs the probe with no attack: one connection subscribed to PROBE,
//      another publishing PROBE events, each carrying its send time, at a
//      steady rate; delivery latency p50/p99 and how many arrived;
//   2. starts the phase's attack from this process (raw sockets speaking the
//      protocol), runs the probe again on new connections while it goes on,
//      then ends the attack and lets the daemon settle;
//   3. reports the daemon's CPU time (utime + stime from /proc/PID/stat) and
//      its resident memory (VmRSS) before the attack, at its peak (polled,
//      and VmHWM) and after settling.
// The probe is a child process running this program in its probe role, so
// the daemon sees it as a process of its own, as its per-process bounds
// expect of a separate well-behaved client. A probe lost is counted as
// slower than every probe that arrived, so percentiles stay honest when
// most of them never arrive.
//
// Every wait is bounded; the daemon and the probe are killed by their PID
// when the driver leaves, whatever happened.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "support/child_process.h"
#include "support/proc_stats.h"
#include "support/wire_client.h"

namespace {

using vavevar::test::ChildProcess;
using vavevar::test::cpu_seconds;
using vavevar::test::InboundEvent;
using vavevar::test::RawClient;
using vavevar::test::Request;
using vavevar::test::RequestParser;
using vavevar::test::status_kib;

using vavevar::bench::die;
using vavevar::bench::now_ns;
using vavevar::bench::number;
using vavevar::bench::say;

std::int64_t ms_since(std::int64_t start) { return (now_ns() - start) / 1'000'000; }

// An event as the client library writes it (subscriber 0, no time headers).
InboundEvent outbound_event(std::string type) {
    InboundEvent e;
    e.subscriber_ids = "0";
    e.event_type = std::move(type);
    e.event_id = "attack:1:0-1";
    e.creation_time_name = e.delivery_time_name = "";
    e.affected_components = "db";
    e.affected_nodes = "node1";
    e.generating_component = "bench";
    e.generating_process = "attack:1";
    e.generating_node = "attack";
    e.instance_name = "bench";
    return e;
}

std::string connect_request(const std::string &selfId) {
    return "POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: bench\r\nSelfId: " + selfId + "\r\n\r\n";
}

// --- the probe role: a well-behaved subscriber and publisher

// Handshakes `c`; on a refusal `why` says what the daemon answered.
bool handshake(RawClient &c, const std::string &selfId, std::string &why) {
    Request reply;
    if (!c.ok()) why = "cannot connect";
    else if (!c.handshake(reply, selfId)) why = "no answer to the handshake";
    else if (reply.get("Result") != "success") why = "handshake refused: " + reply.get("Message");
    else return true;
    return false;
}

// Prints "ready" (or "refused WHY"), waits for a line on standard input, then
// publishes `rate` events a second for `ms` and prints
// "result SENT ARRIVED P50 P99 MAX" (nanoseconds, -1 for a percentile that
// falls among the lost).
int role_probe(std::uint16_t port, long rate, long ms, long drainMs) {
    const std::string self = "Pid=" + std::to_string(::getpid()) + "; Home=/tmp/vavevar-attack-probe";
    RawClient sub(port), pub(port);
    std::string why;
    Request status;
    if (!handshake(sub, self, why) || !handshake(pub, self, why)) {
        say("refused " + why);
        return 0;
    }
    if (!sub.subscribe(1, "PROBE", status)) {
        say("refused no answer to the subscribe");
        return 0;
    }
    if (status.get("Result") != "success") {
        say("refused subscribe: " + status.get("Message"));
        return 0;
    }
    say("ready");
    std::string go;
    if (!std::getline(std::cin, go)) return 1;

    // Each probe goes out when it is due, not when the last one is
    // acknowledged: the delay measured is the daemon's, not the sender's.
    int one = 1;
    ::setsockopt(pub.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A daemon that stops reading must not hold the publisher past the drain.
    timeval limit{drainMs / 1000, static_cast<suseconds_t>((drainMs % 1000) * 1000)};
    ::setsockopt(pub.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const long total = std::max(1L, rate * ms / 1000);
    std::atomic<long> sent{0};
    std::atomic<bool> published{false};
    const std::int64_t start = now_ns();
    std::thread publisher([&] {
        InboundEvent e = outbound_event("PROBE");
        for (long i = 0; i < total; ++i) {
            std::int64_t due = start + i * 1'000'000'000 / rate;
            if (std::int64_t wait = due - now_ns(); wait > 0)
                std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
            e.event_id = "probe:" + std::to_string(i);
            e.body = std::to_string(now_ns());
            if (!pub.send(e.bytes())) break;
            sent.fetch_add(1);
        }
        published = true;
    });

    std::vector<std::int64_t> latency;
    const std::int64_t deadline = start + (ms + drainMs) * 1'000'000;
    while (now_ns() < deadline && !(published && static_cast<long>(latency.size()) >= sent)) {
        Request m;
        int wait = static_cast<int>(std::min<std::int64_t>(100, (deadline - now_ns()) / 1'000'000 + 1));
        if (!sub.read_message(m, wait)) {
            if (sub.closed_by_daemon(0)) break;
            continue;
        }
        if (m.kind == Request::Kind::event && m.get("eventType") == "PROBE")
            latency.push_back(now_ns() - std::stoll(m.body));
    }
    publisher.join();
    std::sort(latency.begin(), latency.end());
    const long count = sent.load();
    auto rank = [&](double q) -> std::int64_t {
        if (count == 0) return -1;
        std::size_t at = static_cast<std::size_t>(std::max(1.0, q * static_cast<double>(count) + 0.999999)) - 1;
        return at < latency.size() ? latency[at] : -1;
    };
    say("result " + std::to_string(count) + " " + std::to_string(latency.size()) + " " +
        std::to_string(rank(0.5)) + " " + std::to_string(rank(0.99)) + " " +
        std::to_string(latency.empty() ? -1 : latency.back()));
    return 0;
}

// --- attack connections

// A connection of an attack. Non-blocking, so that no send can hold the
// attack's thread past the moment it is told to stop; what is queued goes
// out as the socket takes it, and what arrives is parsed into messages.
class Conn {
public:
    explicit Conn(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        if (fd_ < 0 || (::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS))
            closed_ = true;
        opened_ = now_ns();
    }
    ~Conn() {
        if (fd_ >= 0) ::close(fd_);
    }
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    int fd() const { return fd_; }
    bool closed() const { return closed_; }
    bool pending() const { return at_ < out_.size(); }
    std::int64_t opened() const { return opened_; }
    std::int64_t closed_at() const { return closedAt_; }
    std::size_t bytes_sent() const { return sentTotal_; }

    void queue(std::string_view bytes) {
        if (at_ == out_.size()) {
            out_.clear();
            at_ = 0;
        }
        out_.append(bytes);
    }
    // Sends what the socket takes now.
    void pump() {
        while (!closed_ && at_ < out_.size()) {
            ssize_t n = ::send(fd_, out_.data() + at_, out_.size() - at_, MSG_NOSIGNAL);
            if (n > 0) {
                at_ += static_cast<std::size_t>(n);
                sentTotal_ += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN)) {
                return;
            } else if (n < 0 && errno != EINTR) {
                mark_closed();
            }
        }
    }
    // Sends from `data` directly, for streams too large to queue; the number
    // of bytes the socket took.
    std::size_t send_direct(const char *data, std::size_t size) {
        if (closed_) return 0;
        ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            sentTotal_ += static_cast<std::size_t>(n);
            return static_cast<std::size_t>(n);
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN && errno != EINTR)
            mark_closed();
        return 0;
    }
    // Reads what has arrived; notices the daemon closing the connection.
    void read_available() {
        char chunk[65536];
        while (!closed_) {
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n > 0) {
                parser_.feed(std::string_view(chunk, static_cast<std::size_t>(n)));
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN && errno != EINTR)) {
                mark_closed();
            } else {
                break;
            }
        }
        while (auto m = parser_.next()) inbox.push_back(std::move(*m));
    }
    // Without reading: has the daemon closed (or reset) the connection?
    void notice_close() {
        pollfd p{fd_, POLLRDHUP, 0};
        if (!closed_ && ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) mark_closed();
    }

    std::vector<Request> inbox;

private:
    void mark_closed() {
        if (!closed_) closedAt_ = now_ns();
        closed_ = true;
    }

    int fd_ = -1;
    bool closed_ = false;
    std::int64_t opened_ = 0, closedAt_ = 0;
    std::string out_;
    std::size_t at_ = 0, sentTotal_ = 0;
    RequestParser parser_;
};

using Conns = std::vector<std::unique_ptr<Conn>>;

// Sends what is queued and (when `read`) reads what arrives on every
// connection, until `done()` holds, `stop` is set or `waitMs` has passed.
bool exchange(Conns &conns, const std::function<bool()> &done, int waitMs, const std::atomic<bool> &stop,
              bool read = true) {
    const std::int64_t deadline = now_ns() + std::int64_t{waitMs} * 1'000'000;
    std::vector<pollfd> fds;
    for (;;) {
        for (auto &c : conns) {
            c->pump();
            if (read) c->read_available();
        }
        if (done()) return true;
        if (stop || now_ns() >= deadline) return false;
        fds.clear();
        for (auto &c : conns)
            if (!c->closed())
                fds.push_back({c->fd(), static_cast<short>((read ? POLLIN : 0) | (c->pending() ? POLLOUT : 0)), 0});
        if (fds.empty()) return done();
        ::poll(fds.data(), fds.size(), 10);
    }
}

std::size_t closed_count(const Conns &conns) {
    return static_cast<std::size_t>(std::count_if(conns.begin(), conns.end(), [](auto &c) { return c->closed(); }));
}

std::string attack_self_id() { return "Pid=" + std::to_string(::getpid()) + "; Home=/tmp/vavevar-attack"; }

// Handshakes every connection; the number that were let in. Refusals say why
// in `refusal`.
std::size_t handshake_all(Conns &conns, std::string &refusal, const std::atomic<bool> &stop, int waitMs = 30000) {
    for (auto &c : conns) c->queue(connect_request(attack_self_id()));
    exchange(
        conns,
        [&] {
            return std::all_of(conns.begin(), conns.end(), [](auto &c) { return c->closed() || !c->inbox.empty(); });
        },
        waitMs, stop);
    std::size_t in = 0;
    for (auto &c : conns) {
        if (c->inbox.empty()) continue;
        if (c->inbox.front().get("Result") == "success") ++in;
        else refusal = c->inbox.front().get("Message");
        c->inbox.erase(c->inbox.begin());
    }
    return in;
}

// Subscribes `filters[i]` on `conn` as subscriber i + 1, in batches so the
// answers never pile up; how many were accepted, the last refusal in
// `refusal`.
std::size_t subscribe_all(Conn &conn, const std::vector<std::string> &filters, std::string &refusal,
                          const std::atomic<bool> &stop) {
    std::size_t accepted = 0;
    constexpr std::size_t kBatch = 500;
    for (std::size_t from = 0; from < filters.size() && !conn.closed() && !stop; from += kBatch) {
        std::size_t to = std::min(filters.size(), from + kBatch);
        for (std::size_t i = from; i < to; ++i)
            conn.queue(RawClient::subscribe_request(static_cast<int>(i + 1), filters[i]));
        std::size_t want = to - from;
        const std::int64_t deadline = now_ns() + 30'000'000'000LL;
        while (conn.inbox.size() < want && !conn.closed() && !stop && now_ns() < deadline) {
            conn.pump();
            conn.read_available();
            pollfd p{conn.fd(), static_cast<short>(POLLIN | (conn.pending() ? POLLOUT : 0)), 0};
            ::poll(&p, 1, 10);
        }
        for (const Request &m : conn.inbox) {
            if (m.get("Result") == "success") ++accepted;
            else refusal = m.get("Message");
        }
        conn.inbox.clear();
    }
    return accepted;
}

// Holds the connections open until told to stop, reading what they get (so
// nothing piles up in the daemon on their account) and noticing closes.
void hold(Conns &conns, const std::atomic<bool> &stop, bool read = true) {
    while (!stop) {
        for (auto &c : conns) read ? c->read_available() : c->notice_close();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string count_of(std::size_t n, const char *what) { return std::to_string(n) + " " + what; }

// --- the attacks


struct Settings {
    long probeRate = 200, probeMs = 3000, drainMs = 5000, settleMs = 3000;
    long globLength = 16002, typeLength = 60000, globProperties = 16, eventRate = 20;
    long orChains = 16, orProperties = 1024, orNames = 1;
    long subscriptions = 10000, floodClients = 4;
    std::string floodFilter = "NOPE/{c}/{i}/*";
    long partialConnections = 16, partialLines = 1023, partialBodyMib = 16;
    long statsConnections = 16;
    long halfOpen = 500, handshakeTimeout = 2, halfOpenHoldMs = 5000;
    long idleConnections = 4096;
};

class Attack {
public:
    virtual ~Attack() = default;
    // The daemon under attack, for attacks that time what one request costs.
    void set_daemon(pid_t pid) { daemon_ = pid; }
    virtual std::string name() const = 0;
    virtual std::string what() const = 0;
    // Options the phase's daemon is started with, where it knows them.
    virtual std::vector<std::string> daemon_options() const { return {}; }
    // Puts the attack in place; runs on the attack's thread.
    virtual void setup(std::uint16_t port, const std::atomic<bool> &stop) = 0;
    // Goes on with the attack until `stop`; runs on the attack's thread.
    virtual void run(const std::atomic<bool> &stop) = 0;
    // Whether the attack has done all it means to, `ms` after it started;
    // the phase ends once this and the probe are done (or at a bound).
    virtual bool complete(std::int64_t ms) const { return ms >= 0; }
    // What the attack saw, for the table's notes; called after run().
    virtual std::string notes() const = 0;
    // Ends every attack connection.
    virtual void finish() = 0;
    // Whether the probe connects before the attack starts (attacks on
    // delivery) or while it goes on (attacks on getting in at all).
    virtual bool probe_connects_first() const { return false; }

protected:
    pid_t daemon_ = 0;
};

// Subscriptions with costly filters, and a connection publishing the events
// that make them costly, at a steady rate.
class FilterAttack : public Attack {
public:
    FilterAttack(std::string name, std::string what, std::vector<std::string> filters, int subscribersPerConn,
                 std::string event, long rate)
        : name_(std::move(name)), what_(std::move(what)), filters_(std::move(filters)),
          perConn_(subscribersPerConn), event_(std::move(event)), rate_(rate) {}

    std::string name() const override { return name_; }
    std::string what() const override { return what_; }
    void setup(std::uint16_t port, const std::atomic<bool> &stop) override {
        std::size_t connsNeeded = (filters_.size() + static_cast<std::size_t>(perConn_) - 1) / static_cast<std::size_t>(perConn_);
        for (std::size_t i = 0; i < connsNeeded + 1; ++i) conns_.push_back(std::make_unique<Conn>(port));
        handshaken_ = handshake_all(conns_, refusal_, stop);
        for (std::size_t c = 0; c < connsNeeded; ++c) {
            auto from = filters_.begin() + static_cast<std::ptrdiff_t>(c * static_cast<std::size_t>(perConn_));
            auto to = filters_.begin() + static_cast<std::ptrdiff_t>(std::min(filters_.size(), (c + 1) * static_cast<std::size_t>(perConn_)));
            accepted_ += subscribe_all(*conns_[c], std::vector<std::string>(from, to), refusal_, stop);
        }
        time_one_event(stop);
    }
    void run(const std::atomic<bool> &stop) override {
        Conn &pub = *conns_.back();
        const std::int64_t period = 1'000'000'000 / rate_;
        std::int64_t next = now_ns();
        while (!stop && !pub.closed()) {
            std::int64_t now = now_ns();
            if (!pub.pending() && now >= next) {
                pub.queue(event_);
                ++events_;
                next = std::max(next + period, now - period);
            }
            pub.pump();
            for (auto &c : conns_) c->read_available();
            pollfd p{pub.fd(), static_cast<short>(POLLIN | (pub.pending() ? POLLOUT : 0)), 0};
            ::poll(&p, 1, static_cast<int>(std::clamp<std::int64_t>((next - now_ns()) / 1'000'000, 1, 10)));
        }
        unsent_ = pub.pending();
    }
    std::string notes() const override {
        std::string n = std::to_string(accepted_) + "/" + std::to_string(filters_.size()) + " subscriptions taken";
        if (!refusal_.empty()) n += " (refused: " + refusal_ + ")";
        char one[128];
        if (oneCpu_ >= 0)
            std::snprintf(one, sizeof one, "; one event alone: %.2f s of daemon CPU, answered after %.2f s", oneCpu_,
                          oneWall_);
        else
            std::snprintf(one, sizeof one, "; one event alone: not done within %.0f s", oneWall_);
        n += one;
        n += "; " + std::to_string(events_) + " events sent" + (unsent_ ? " (the last one not whole)" : "");
        std::size_t dropped = closed_count(conns_);
        if (dropped > 0) n += "; " + count_of(dropped, "attack connections closed by the daemon");
        return n;
    }
    void finish() override { conns_.clear(); }
    bool probe_connects_first() const override { return true; }

private:
    // Sends one event and a stats request behind it on the same connection:
    // the daemon answers requests of a connection in order, so the answer
    // comes once the event is routed. The daemon's CPU time in between is
    // what one event costs it.
    void time_one_event(const std::atomic<bool> &stop) {
        constexpr std::int64_t kLimitNs = 30'000'000'000;
        Conn &pub = *conns_.back();
        const double cpu = cpu_seconds(daemon_);
        const std::int64_t start = now_ns();
        pub.queue(event_);
        pub.queue("POST /stats HTTP/1.1\r\n\r\n");
        while (pub.inbox.empty() && !pub.closed() && !stop && now_ns() - start < kLimitNs) {
            pub.pump();
            pub.read_available();
            pollfd p{pub.fd(), static_cast<short>(POLLIN | (pub.pending() ? POLLOUT : 0)), 0};
            ::poll(&p, 1, 10);
        }
        oneWall_ = static_cast<double>(now_ns() - start) / 1e9;
        oneCpu_ = pub.inbox.empty() ? -1 : cpu_seconds(daemon_) - cpu;
        pub.inbox.clear();
    }

    std::string name_, what_;
    std::vector<std::string> filters_;
    int perConn_;
    std::string event_;
    long rate_;
    Conns conns_;
    std::size_t handshaken_ = 0, accepted_ = 0;
    std::string refusal_;
    long events_ = 0;
    bool unsent_ = false;
    double oneCpu_ = -1, oneWall_ = 0;
};

// Clients holding many subscriptions that match nothing the probe sends: the
// daemon weighs each of them against every probe event.
class SubscriptionFlood : public Attack {
public:
    // `form` is a filter with {c} for the client's number and {i} for the
    // subscription's.
    SubscriptionFlood(std::string name, long clients, long perClient, std::string form)
        : name_(std::move(name)), clients_(clients), perClient_(perClient), form_(std::move(form)) {}
    std::string name() const override { return name_; }
    std::string what() const override {
        return std::to_string(clients_) + " client(s) x " + std::to_string(perClient_) + " subscriptions '" + form_ +
               "', none matching";
    }
    void setup(std::uint16_t port, const std::atomic<bool> &stop) override {
        for (long c = 0; c < clients_; ++c) conns_.push_back(std::make_unique<Conn>(port));
        handshake_all(conns_, refusal_, stop);
        for (long c = 0; c < clients_; ++c) {
            std::vector<std::string> filters;
            for (long i = 0; i < perClient_; ++i) filters.push_back(fill(c, i));
            accepted_ += subscribe_all(*conns_[static_cast<std::size_t>(c)], filters, refusal_, stop);
        }
    }
    void run(const std::atomic<bool> &stop) override { hold(conns_, stop); }
    std::string notes() const override {
        std::string n = std::to_string(accepted_) + "/" + std::to_string(clients_ * perClient_) + " subscriptions taken";
        if (!refusal_.empty()) n += " (refused: " + refusal_ + ")";
        return n;
    }
    void finish() override { conns_.clear(); }
    bool probe_connects_first() const override { return true; }

private:
    std::string fill(long c, long i) const {
        std::string f;
        for (std::size_t at = 0; at < form_.size(); ++at) {
            if (form_.compare(at, 3, "{c}") == 0) f += std::to_string(c), at += 2;
            else if (form_.compare(at, 3, "{i}") == 0) f += std::to_string(i), at += 2;
            else f += form_[at];
        }
        return f;
    }

    std::string name_;
    long clients_, perClient_;
    std::string form_;
    Conns conns_;
    std::size_t accepted_ = 0;
    std::string refusal_;
};

// Connections that, before any handshake, send most of one event request
// as large as the bounds on lines, properties and body allow, and never its
// last byte.
class PartialRequests : public Attack {
public:
    PartialRequests(long connections, long lines, long bodyMib)
        : connections_(connections), lines_(lines), bodyBytes_(static_cast<std::size_t>(bodyMib) << 20) {}
    std::string name() const override { return "pre-handshake"; }
    std::string what() const override {
        return std::to_string(connections_) + " connections, no handshake, each sending one event request of " +
               std::to_string(lines_) + " property lines of 64 KiB and a " + std::to_string(bodyBytes_ >> 20) +
               " MiB body, short of its last byte";
    }
    void setup(std::uint16_t port, const std::atomic<bool> &) override {
        InboundEvent e = outbound_event("ATTACK/PARTIAL");
        const std::string value(65536 - 3, 'v');  // "p: " + value is one line of 64 KiB
        e.property_lines.assign(static_cast<std::size_t>(lines_), "p: " + value);
        e.content_length = std::to_string(bodyBytes_);
        head_ = e.bytes();  // ends with the empty line; the body follows
        body_.assign(1 << 20, 'b');
        total_ = head_.size() + bodyBytes_ - 1;
        for (long c = 0; c < connections_; ++c) conns_.push_back(std::make_unique<Conn>(port));
        at_.assign(conns_.size(), 0);
    }
    void run(const std::atomic<bool> &stop) override {
        std::vector<pollfd> fds;
        while (!stop) {
            fds.clear();
            for (std::size_t i = 0; i < conns_.size(); ++i) {
                Conn &c = *conns_[i];
                for (std::size_t took = 1; took > 0 && at_[i] < total_ && !c.closed();) {
                    const char *from = at_[i] < head_.size() ? head_.data() + at_[i] : body_.data();
                    std::size_t size = at_[i] < head_.size()
                                           ? head_.size() - at_[i]
                                           : std::min(body_.size(), total_ - at_[i]);
                    took = c.send_direct(from, size);
                    at_[i] += took;
                }
                c.notice_close();
                if (!c.closed() && at_[i] < total_) fds.push_back({c.fd(), POLLOUT, 0});
            }
            complete_ = fds.empty();
            if (fds.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            else ::poll(fds.data(), fds.size(), 20);
        }
    }
    // Every connection has sent all it will, or was closed.
    bool complete(std::int64_t) const override { return complete_; }
    std::string notes() const override {
        std::size_t sent = 0, whole = 0;
        for (std::size_t i = 0; i < conns_.size(); ++i) {
            sent += at_[i];
            whole += at_[i] == total_;
        }
        return std::to_string(sent >> 20) + " MiB sent in all; " + std::to_string(whole) + "/" +
               std::to_string(conns_.size()) + " connections sent all but the last byte; " +
               count_of(closed_count(conns_), "closed by the daemon");
    }
    void finish() override { conns_.clear(); }

private:
    long connections_, lines_;
    std::size_t bodyBytes_, total_ = 0;
    std::string head_, body_;
    Conns conns_;
    std::vector<std::size_t> at_;
    std::atomic<bool> complete_{false};
};

// Connections asking for the stats as fast as the daemon reads, never
// reading the answers.
class UnreadStats : public Attack {
public:
    explicit UnreadStats(long connections) : connections_(connections) {}
    std::string name() const override { return "stats-unread"; }
    std::string what() const override {
        return std::to_string(connections_) + " connections sending stats requests, never reading the answers";
    }
    void setup(std::uint16_t port, const std::atomic<bool> &) override {
        for (long c = 0; c < connections_; ++c) conns_.push_back(std::make_unique<Conn>(port));
        for (int i = 0; i < 256; ++i) batch_ += kRequest;
    }
    void run(const std::atomic<bool> &stop) override {
        std::vector<pollfd> fds;
        while (!stop) {
            fds.clear();
            for (auto &c : conns_) {
                if (!c->pending() && !c->closed()) c->queue(batch_);
                c->pump();
                c->notice_close();
                if (!c->closed()) fds.push_back({c->fd(), POLLOUT, 0});
            }
            if (fds.empty()) break;
            ::poll(fds.data(), fds.size(), 20);
        }
    }
    bool complete(std::int64_t ms) const override { return ms >= 3000; }
    std::string notes() const override {
        std::size_t sent = 0;
        for (auto &c : conns_) sent += c->bytes_sent();
        return std::to_string(sent / kRequest.size()) + " requests sent; " + count_of(closed_count(conns_), "closed by the daemon");
    }
    void finish() override { conns_.clear(); }

private:
    static constexpr std::string_view kRequest = "POST /stats HTTP/1.1\r\n\r\n";
    long connections_;
    std::string batch_;
    Conns conns_;
};

// Connections that send part of a connect request and nothing more.
class HalfOpen : public Attack {
public:
    HalfOpen(long connections, long timeoutS, long holdMs)
        : connections_(connections), timeoutS_(timeoutS), holdMs_(holdMs) {}
    std::string name() const override { return "half-open"; }
    std::string what() const override {
        return std::to_string(connections_) + " connections sending half a connect request, held " +
               std::to_string(holdMs_ / 1000) + " s";
    }
    std::vector<std::string> daemon_options() const override {
        return {"--handshake-timeout", std::to_string(timeoutS_)};
    }
    void setup(std::uint16_t port, const std::atomic<bool> &stop) override {
        for (long c = 0; c < connections_; ++c) {
            conns_.push_back(std::make_unique<Conn>(port));
            conns_.back()->queue("POST /connect HTTP/1.1\r\nVersion: 4\r\n");
        }
        exchange(conns_, [&] { return std::none_of(conns_.begin(), conns_.end(), [](auto &c) { return c->pending(); }); },
                 5000, stop, false);
    }
    void run(const std::atomic<bool> &stop) override { hold(conns_, stop, false); }
    bool complete(std::int64_t ms) const override { return ms >= holdMs_; }
    std::string notes() const override {
        std::vector<std::int64_t> after;
        for (auto &c : conns_)
            if (c->closed() && c->closed_at() > 0) after.push_back((c->closed_at() - c->opened()) / 1'000'000);
        std::sort(after.begin(), after.end());
        std::string n = std::to_string(after.size()) + "/" + std::to_string(conns_.size()) +
                        " closed by the daemon within " + std::to_string(holdMs_ / 1000) + " s";
        if (!after.empty())
            n += ", after " + std::to_string(after.front()) + " to " + std::to_string(after.back()) + " ms";
        return n;
    }
    void finish() override { conns_.clear(); }

private:
    long connections_, timeoutS_, holdMs_;
    Conns conns_;
};

// Connections from one process that complete the handshake and then do
// nothing, as many as the process can open.
class IdleClients : public Attack {
public:
    explicit IdleClients(long connections) : connections_(connections) {}
    std::string name() const override { return "idle-clients"; }
    std::string what() const override {
        return std::to_string(connections_) + " handshaken idle connections from one process";
    }
    void setup(std::uint16_t port, const std::atomic<bool> &stop) override {
        for (long c = 0; c < connections_; ++c) conns_.push_back(std::make_unique<Conn>(port));
        in_ = handshake_all(conns_, refusal_, stop);
    }
    void run(const std::atomic<bool> &stop) override { hold(conns_, stop); }
    std::string notes() const override {
        std::string n = std::to_string(in_) + "/" + std::to_string(conns_.size()) + " let in";
        if (!refusal_.empty()) n += " (refused: " + refusal_ + ")";
        return n + "; " + count_of(closed_count(conns_), "closed by the daemon");
    }
    void finish() override { conns_.clear(); }

private:
    long connections_;
    Conns conns_;
    std::size_t in_ = 0;
    std::string refusal_;
};

std::string glob(long length) { return "*" + std::string(static_cast<std::size_t>(std::max(2L, length) - 2), 'a') + "b"; }

// `prop.p1 = *x* or prop.p2 = *x* or ...` over `names` property names, as
// long as a subscription line may be.
std::string or_chain(long names) {
    constexpr std::size_t kLine = 65536 - sizeof("Subscription: ") + 1;
    std::string chain;
    for (long k = 0;; k = (k + 1) % names) {
        std::string term = (chain.empty() ? "" : " or ") + std::string("prop.p") + std::to_string(k + 1) + " = *x*";
        if (chain.size() + term.size() > kLine) return chain;
        chain += term;
    }
}

std::vector<std::unique_ptr<Attack>> make_attacks(const Settings &s) {
    std::vector<std::unique_ptr<Attack>> all;
    {
        InboundEvent e = outbound_event(std::string(static_cast<std::size_t>(s.typeLength), 'a'));
        all.push_back(std::make_unique<FilterAttack>(
            "glob-type",
            "subscription '*a...ab' of " + std::to_string(s.globLength) + " characters; events of a " +
                std::to_string(s.typeLength) + "-character type, " + std::to_string(s.eventRate) + "/s",
            std::vector<std::string>{glob(s.globLength)}, 1, e.bytes(), s.eventRate));
    }
    {
        InboundEvent e = outbound_event("ATTACK/PROPS");
        e.property_lines.assign(static_cast<std::size_t>(s.globProperties),
                                "x: " + std::string(static_cast<std::size_t>(s.typeLength), 'a'));
        all.push_back(std::make_unique<FilterAttack>(
            "glob-props",
            "subscription 'prop.x = *a...ab' (" + std::to_string(s.globLength) + " characters); events with " +
                std::to_string(s.globProperties) + " properties x of " + std::to_string(s.typeLength) +
                " characters, " + std::to_string(s.eventRate) + "/s",
            std::vector<std::string>{"prop.x = " + glob(s.globLength)}, 1, e.bytes(), s.eventRate));
    }
    {
        InboundEvent e = outbound_event("ATTACK/OR");
        for (long k = 0; k < s.orProperties; ++k)
            e.property_lines.push_back("p" + std::to_string(k % s.orNames + 1) + ": y");
        std::string chain = or_chain(s.orNames);
        std::string event = e.bytes();
        all.push_back(std::make_unique<FilterAttack>(
            "or-chains",
            std::to_string(s.orChains) + " subscriptions '" + chain.substr(0, chain.find(" or ", chain.find(" or ") + 4)) +
                " or ...' of " + std::to_string(chain.size()) + " characters over " + std::to_string(s.orNames) +
                " property name(s), one connection each; events of " + std::to_string(event.size()) + " bytes with " +
                std::to_string(s.orProperties) + " properties 'pN: y' over the same names, " +
                std::to_string(s.eventRate) + "/s",
            std::vector<std::string>(static_cast<std::size_t>(s.orChains), chain), 1, event, s.eventRate));
    }
    all.push_back(std::make_unique<SubscriptionFlood>("subs-1", 1, s.subscriptions, s.floodFilter));
    all.push_back(std::make_unique<SubscriptionFlood>("subs-" + std::to_string(s.floodClients), s.floodClients,
                                                      s.subscriptions, s.floodFilter));
    // A leading '*' leaves nothing for an index by type prefix to sort on.
    all.push_back(std::make_unique<SubscriptionFlood>("subs-" + std::to_string(s.floodClients) + "-star",
                                                      s.floodClients, s.subscriptions, "*/NOPE/{c}/{i}"));
    all.push_back(std::make_unique<PartialRequests>(s.partialConnections, s.partialLines, s.partialBodyMib));
    all.push_back(std::make_unique<UnreadStats>(s.statsConnections));
    all.push_back(std::make_unique<HalfOpen>(s.halfOpen, s.handshakeTimeout, s.halfOpenHoldMs));
    all.push_back(std::make_unique<IdleClients>(s.idleConnections));
    return all;
}

// --- the daemon under test

// A "Vm...:" line of /proc/PID/status in KiB, 0 when it cannot be read.
class Daemon {
public:
    Daemon(const std::string &path, const std::vector<std::string> &options) {
        char pattern[] = "/tmp/vavevar-attack-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) die("cannot make a temporary home");
        home_ = pattern;
        std::vector<std::string> args{"--port", "0", "--port-file", "-", "--home", home_, "--log-level", "error"};
        args.insert(args.end(), options.begin(), options.end());
        proc_ = std::make_unique<ChildProcess>(path, args, ChildProcess::environment_with({}));
        std::string line;
        if (!proc_->read_stdout_line(line, 10000)) die("the daemon did not start: " + proc_->stderr_);
        port_ = static_cast<std::uint16_t>(std::stoi(line));
    }
    ~Daemon() {
        proc_.reset();
        ::rmdir(home_.c_str());
    }
    std::uint16_t port() const { return port_; }
    pid_t pid() const { return proc_->pid(); }
    double cpu() const { return cpu_seconds(pid()); }
    long rss() const { return status_kib(pid(), "VmRSS"); }
    long hwm() const { return status_kib(pid(), "VmHWM"); }

    // Samples the resident size, and keeps the daemon's error output flowing
    // so that it never blocks on a full pipe.
    void tick() {
        peak_ = std::max(peak_, rss());
        std::string line;
        while (proc_->read_stderr_line(line, 1)) {
            ++logLines_;
            lastLog_ = line;
        }
    }
    void reset_peak() { peak_ = rss(); }
    long peak() const { return std::max(peak_, hwm()); }
    long log_lines() const { return logLines_; }
    const std::string &last_log() const { return lastLog_; }

    // SIGTERM, then the exit status (128 + signal), or -1 if it does not stop.
    int stop() {
        proc_->signal(SIGTERM);
        return proc_->wait(10000);
    }

private:
    std::string home_;
    std::unique_ptr<ChildProcess> proc_;
    std::uint16_t port_ = 0;
    long peak_ = 0, logLines_ = 0;
    std::string lastLog_;
};

// Sleeps `ms`, sampling the daemon meanwhile.
void watch(Daemon &d, long ms) {
    const std::int64_t end = now_ns() + ms * 1'000'000;
    while (now_ns() < end) {
        d.tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

struct ProbeResult {
    std::string refused;  // empty when the probe ran
    long sent = 0, arrived = 0;
    std::int64_t p50 = -1, p99 = -1, max = -1;
};

// One probe run from a child process, sampling the daemon while it goes on.
class Probe {
public:
    Probe(const std::string &self, const Settings &s, Daemon &d) : daemon_(d) {
        child_ = std::make_unique<ChildProcess>(
            self,
            std::vector<std::string>{"--probe", std::to_string(d.port()), std::to_string(s.probeRate),
                                     std::to_string(s.probeMs), std::to_string(s.drainMs)},
            ChildProcess::environment_with({}), true);
        limitMs_ = s.probeMs + s.drainMs + 10000;
    }
    // Waits until the probe is connected and subscribed; false (with the
    // reason in the result) when it was refused or took too long.
    bool ready() {
        std::string line;
        if (!next_line(line, 15000)) {
            result_.refused = "no connection within 15 s";
            return false;
        }
        if (line == "ready") return true;
        result_.refused = line.rfind("refused ", 0) == 0 ? line.substr(8) : line;
        return false;
    }
    void go() {
        child_->write_stdin("go\n");
        started_ = now_ns();
    }
    // Whether the result has come; reads it when it has.
    bool done() {
        if (finished_) return true;
        std::string line;
        if (!child_->read_stdout_line(line, 20)) {
            if (ms_since(started_) > limitMs_) {
                result_.refused = "no result within " + std::to_string(limitMs_ / 1000) + " s";
                finished_ = true;
            }
            return finished_;
        }
        std::istringstream in(line);
        std::string word;
        in >> word >> result_.sent >> result_.arrived >> result_.p50 >> result_.p99 >> result_.max;
        finished_ = true;
        return true;
    }
    ProbeResult run() {
        if (!ready()) return result_;
        go();
        while (!done()) daemon_.tick();
        return result_;
    }
    const ProbeResult &result() const { return result_; }

private:
    bool next_line(std::string &line, long ms) {
        const std::int64_t end = now_ns() + ms * 1'000'000;
        while (now_ns() < end) {
            if (child_->read_stdout_line(line, 20)) return true;
            daemon_.tick();
        }
        return false;
    }

    Daemon &daemon_;
    std::unique_ptr<ChildProcess> child_;
    ProbeResult result_;
    long limitMs_ = 0;
    std::int64_t started_ = 0;
    bool finished_ = false;
};

struct Row {
    std::string phase, what;
    ProbeResult base, attack;
    double cpuBase = 0, cpuAttack = 0;
    long rssBefore = 0, rssPeak = 0, rssAfter = 0;
    std::string notes;
};

std::string ms_text(std::int64_t ns) {
    if (ns < 0) return "lost";
    char b[32];
    if (ns < 1'000'000) std::snprintf(b, sizeof b, "%.0f µs", static_cast<double>(ns) / 1e3);
    else std::snprintf(b, sizeof b, ns < 10'000'000 ? "%.2f ms" : "%.0f ms", static_cast<double>(ns) / 1e6);
    return b;
}

std::string factor(std::int64_t attack, std::int64_t base) {
    if (attack < 0) return "lost";
    if (base <= 0) return "-";
    char b[32];
    double f = static_cast<double>(attack) / static_cast<double>(base);
    std::snprintf(b, sizeof b, f < 100 ? "%.1fx" : "%.0fx", f);
    return b;
}

std::string mib(long kib) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", static_cast<double>(kib) / 1024.0);
    return b;
}

std::string latency_pair(const ProbeResult &r) {
    if (!r.refused.empty()) return "refused | refused";
    return ms_text(r.p50) + " | " + ms_text(r.p99);
}

std::string table_row(const Row &r) {
    std::string delivered =
        r.attack.refused.empty() ? std::to_string(r.attack.arrived) + "/" + std::to_string(r.attack.sent) : "0 (" + r.attack.refused + ")";
    char cpu[64];
    std::snprintf(cpu, sizeof cpu, "%.2f (%.2f)", r.cpuAttack, r.cpuBase);
    const std::string &notes = r.notes;
    return "| " + r.phase + " | " + latency_pair(r.base) + " | " + latency_pair(r.attack) + " | " +
           factor(r.attack.p50, r.base.p50) + " / " + factor(r.attack.p99, r.base.p99) + " | " + delivered + " | " +
           cpu + " | " + mib(r.rssBefore) + " / " + mib(r.rssPeak) + " / " + mib(r.rssAfter) + " | " + notes + " |";
}

// The options of `path`'s --help, so that a phase uses only those it knows.
std::string daemon_help(const std::string &path) {
    ChildProcess help(path, {"--help"}, ChildProcess::environment_with({}));
    help.wait(10000);
    return help.stdout_ + help.stderr_;
}

std::vector<std::string> known_options(const std::vector<std::string> &options, const std::string &help,
                                       std::string &missing) {
    std::vector<std::string> known;
    for (std::size_t i = 0; i + 1 < options.size(); i += 2) {
        if (help.find(options[i] + " ") != std::string::npos || help.find(options[i] + "\n") != std::string::npos) {
            known.push_back(options[i]);
            known.push_back(options[i + 1]);
        } else {
            missing += " " + options[i];
        }
    }
    return known;
}

Row run_phase(Attack &attack, const std::string &self, const std::string &daemonPath, const std::string &help,
              const Settings &s) {
    Row row;
    row.phase = attack.name();
    row.what = attack.what();
    std::string missing;
    std::vector<std::string> options = known_options(attack.daemon_options(), help, missing);
    Daemon d(daemonPath, options);
    std::string given;
    for (const std::string &o : options) given += " " + o;
    std::fprintf(stderr, "[%s] daemon pid %d port %u%s; baseline probe\n", row.phase.c_str(),
                 static_cast<int>(d.pid()), d.port(), given.c_str());

    double cpu0 = d.cpu();
    row.base = Probe(self, s, d).run();
    watch(d, 500);
    row.cpuBase = d.cpu() - cpu0;

    row.rssBefore = d.rss();
    d.reset_peak();
    const double cpu1 = d.cpu();
    std::atomic<bool> stop{false}, setUp{false};
    // A probe that connects first is in before the attack starts; one that
    // connects later starts (and so connects) only once the attack is set up.
    std::unique_ptr<Probe> probe;
    bool probeReady = false;
    if (attack.probe_connects_first()) {
        probe = std::make_unique<Probe>(self, s, d);
        probeReady = probe->ready();
    }
    std::fprintf(stderr, "[%s] attack: %s\n", row.phase.c_str(), row.what.c_str());
    const std::int64_t attackStart = now_ns();
    attack.set_daemon(d.pid());
    std::thread attacker([&] {
        attack.setup(d.port(), stop);
        setUp = true;
        attack.run(stop);
    });
    // Setting up is bounded by the attack's own time-outs; this bounds it again.
    while (!setUp && ms_since(attackStart) < 120000) watch(d, 20);
    const std::int64_t runStart = now_ns();
    std::fprintf(stderr, "[%s] set up in %.1f s; probe under attack\n", row.phase.c_str(),
                 static_cast<double>(runStart - attackStart) / 1e9);
    if (!probe) {
        probe = std::make_unique<Probe>(self, s, d);
        probeReady = probe->ready();
    }
    if (probeReady) {
        probe->go();
        while (!probe->done()) d.tick();
    }
    row.attack = probe->result();
    // Attacks that need longer than the probe get it, within a bound.
    while (!attack.complete(ms_since(runStart)) && ms_since(runStart) < 30000) watch(d, 50);
    stop = true;
    attacker.join();
    row.notes = attack.notes();
    attack.finish();
    std::fprintf(stderr, "[%s] attack ended after %.1f s; settling\n", row.phase.c_str(),
                 static_cast<double>(now_ns() - attackStart) / 1e9);
    watch(d, s.settleMs);
    row.cpuAttack = d.cpu() - cpu1;
    row.rssPeak = d.peak();
    row.rssAfter = d.rss();
    if (!missing.empty()) row.notes += "; daemon without" + missing;
    if (d.log_lines() > 0) row.notes += "; " + std::to_string(d.log_lines()) + " error log lines";
    int rc = d.stop();
    if (rc != 0) row.notes += "; daemon exit status " + std::to_string(rc);
    return row;
}


const char kUsage[] =
    "usage: vavevar_attack_bench [--phases a,b,...] [--daemon PATH] [options]\n"
    "phases: glob-type glob-props or-chains subs-1 subs-N subs-N-star pre-handshake\n"
    "        stats-unread half-open idle-clients (N: --flood-clients)\n"
    "probe:  --probe-rate N (200/s) --probe-ms MS (3000) --drain-ms MS (5000) --settle-ms MS (3000)\n"
    "sizes:  --glob-length N (16002) --type-length N (60000) --glob-properties N (16)\n"
    "        --event-rate N (20/s) --or-chains N (16) --or-properties N (1024)\n"
    "        --or-names N (1: every property and term names p1)\n"
    "        --subscriptions N (10000) --flood-clients N (4)\n"
    "        --flood-filter F ('NOPE/{c}/{i}/*': {c} client, {i} subscription)\n"
    "        --partial-connections N (16) --partial-lines N (1023) --partial-body-mib N (16)\n"
    "        --stats-connections N (16) --half-open N (500) --handshake-timeout S (2)\n"
    "        --half-open-hold-ms MS (5000) --idle-connections N (4096)\n";

}  // namespace

int main(int argc, char **argv) {
    vavevar::bench::program_name = "attack_bench";
    if (argc == 6 && std::string(argv[1]) == "--probe")
        return role_probe(static_cast<std::uint16_t>(number(argv[2], "port")), number(argv[3], "rate"),
                          number(argv[4], "duration"), number(argv[5], "drain"));
    Settings s;
    std::string daemonPath = VAVEVARD_PATH, phases;
    std::map<std::string, long *> numbers{
        {"--probe-rate", &s.probeRate},         {"--probe-ms", &s.probeMs},
        {"--drain-ms", &s.drainMs},             {"--settle-ms", &s.settleMs},
        {"--glob-length", &s.globLength},       {"--type-length", &s.typeLength},
        {"--glob-properties", &s.globProperties}, {"--event-rate", &s.eventRate},
        {"--or-chains", &s.orChains},           {"--or-properties", &s.orProperties},
        {"--or-names", &s.orNames},
        {"--subscriptions", &s.subscriptions},  {"--flood-clients", &s.floodClients},
        {"--partial-connections", &s.partialConnections}, {"--partial-lines", &s.partialLines},
        {"--partial-body-mib", &s.partialBodyMib}, {"--stats-connections", &s.statsConnections},
        {"--half-open", &s.halfOpen},           {"--handshake-timeout", &s.handshakeTimeout},
        {"--half-open-hold-ms", &s.halfOpenHoldMs}, {"--idle-connections", &s.idleConnections}};
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) die(std::string("option ") + option + " needs a value\n" + kUsage);
        if (option == "--phases") phases = argv[i + 1];
        else if (option == "--daemon") daemonPath = argv[i + 1];
        else if (option == "--flood-filter") s.floodFilter = argv[i + 1];
        else if (auto it = numbers.find(option); it != numbers.end()) *it->second = number(argv[i + 1], argv[i]);
        else die("unknown option " + option + "\n" + kUsage);
    }

    // Thousands of attack connections need descriptors; the daemon inherits
    // the raised limit too, as it would from a service manager.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) die("cannot find this program's path");
    self[n] = '\0';

    const std::string help = daemon_help(daemonPath);
    if (help.find("--port") == std::string::npos) die("'" + daemonPath + " --help' does not look like vavevard's");
    std::vector<Row> rows;
    for (auto &attack : make_attacks(s)) {
        if (!phases.empty() && ("," + phases + ",").find("," + attack->name() + ",") == std::string::npos) continue;
        rows.push_back(run_phase(*attack, self, daemonPath, help, s));
        std::fprintf(stderr, "%s\n", table_row(rows.back()).c_str());
    }
    if (rows.empty()) die(std::string("no phase selected\n") + kUsage);

    std::printf("daemon: %s\n", daemonPath.c_str());
    std::printf("probe: %ld PROBE events/s for %ld ms, lost after %ld ms more; RSS in MiB\n\n", s.probeRate,
                s.probeMs, s.drainMs);
    std::printf("| phase | base p50 | base p99 | attack p50 | attack p99 | factor p50 / p99 | probes delivered | "
                "daemon CPU s, attack (base) | RSS before / peak / after | notes |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row &r : rows) std::printf("%s\n", table_row(r).c_str());
    std::printf("\n");
    for (const Row &r : rows) std::printf("- %s: %s\n", r.phase.c_str(), r.what.c_str());
    return 0;
}
