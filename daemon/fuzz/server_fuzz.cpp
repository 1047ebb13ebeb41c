// Drives the whole daemon (event loop, reading, parsing, routing, writing,
// closing) without a network: the server adopts socketpair ends and the input,
// read as a script (server_script.h), writes to the other ends, reads or stops
// reading what the daemon sends, closes them and turns the loop. Small socket
// buffers and small bounds make back-pressure, slow-consumer drops and every
// input bound reachable within one input.
//
// Besides the sanitizers, each input checks what the daemon must keep true:
// its output is a stream of whole messages a client can read
// (output_check.h), its books agree with its subscriptions and bounds after
// every turn, it keeps reading every connection, and a client that went away
// is forgotten within a few turns.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "log.h"
#include "output_check.h"
#include "request_templates.h"
#include "server.h"
#include "server_script.h"

namespace {

using namespace vavevard;
using namespace vavevard::fuzz;

constexpr std::size_t kWriteBudget = 1u << 20;  // bytes one input may send in all
constexpr int kTurnBudget = 4096;               // loop turns one script may take
constexpr int kFinalTurns = 16;                 // to settle before the checks at the end
constexpr int kStuckTurns = 8;                  // turns a blocked write may wait for the daemon
constexpr int kSocketBuffer = 4096;

Limits fuzz_limits() {
    Limits l;
    l.maxLineBytes = 64 * 1024;  // the daemon's own: long lines are the point
    l.maxHeaderLines = 16;
    l.maxProperties = 16;
    l.maxBodyBytes = 96 * 1024;
    l.maxPendingBytes = 48 * 1024;
    l.maxSubscriptions = 4;
    l.maxClients = 5;
    l.maxSubscriptionTextBytes = 2 * 1024;
    l.maxMemberPropertyLine = 256;
    l.maxMemberPropertyBytes = 1024;
    l.maxMemberListBytes = 8 * 1024;
    return l;
}

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "server_fuzz: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

struct Peer {
    int fd = -1;
    ClientId id = 0;
    bool reading = true;
    bool ended = false;  // the daemon closed its end
    OutputCheck check;
};

class Harness {
public:
    Harness() : limits_(fuzz_limits()), server_(RouterConfig{"fuzz", "fuzzhost:1", "vavevard fuzz", limits_, ReplayWindow{3600 * 1000, 64 * 1024}, nullptr}) {}

    ~Harness() {
        for (Peer &p : peers_)
            if (p.fd >= 0) ::close(p.fd);
    }

    void play(FuzzInput &in) {
        while (!in.done() && !stopped_) {
            step(in);
            turn();
        }
        // However many turns the script spent, the checks get theirs.
        turnLimit_ = turns_ + kFinalTurns;
        for (int i = 0; i < kFinalTurns; ++i) turn();
        for (ClientId id : gone_)
            if (server_.router().client(id) != nullptr)
                fail("client " + std::to_string(id) + " is still kept after its peer went away");
        if (log_level() >= LogLevel::debug)
            log_line(LogLevel::debug, server_.router().stats_message(0));
    }

private:
    void step(FuzzInput &in) {
        std::uint8_t b = in.u8();
        auto op = static_cast<Op>(b & 15);
        Peer &p = peers_[(b >> 4) & 7];
        bool prefix = (b & kPrefixFlag) != 0;
        switch (op) {
        case Op::open: open(p); break;
        case Op::write: send(p, in.bytes(in.u8())); break;
        case Op::repeat: {
            std::size_t count = in.u16() + 1u;
            std::string_view chunk = in.bytes((in.u8() & 15) + 1u);
            std::string bytes;
            for (std::size_t i = 0; i < count && bytes.size() < budget_; ++i) bytes.append(chunk);
            send(p, bytes);
            break;
        }
        case Op::connect:
        case Op::subscribe:
        case Op::unsubscribe:
        case Op::event:
        case Op::stats: {
            std::size_t cut = prefix ? in.u8() : 256;
            std::string request = op == Op::connect       ? connect_request(in)
                                  : op == Op::subscribe   ? subscribe_request(in)
                                  : op == Op::unsubscribe ? unsubscribe_request(in)
                                  : op == Op::event       ? event_request(in, ++serial_)
                                                          : stats_request();
            request.resize(request.size() * cut / 256);
            send(p, request);
            break;
        }
        case Op::drain:
            p.reading = true;
            drain(p);
            break;
        case Op::stall: p.reading = false; break;
        case Op::shut_write:
            if (p.fd >= 0 && ::shutdown(p.fd, SHUT_WR) == 0) gone_.push_back(p.id);
            break;
        case Op::shut_read:
            if (p.fd >= 0) ::shutdown(p.fd, SHUT_RD);
            break;
        case Op::close: close(p); break;
        case Op::run:
            for (int n = 1 + in.u8() % 64; n > 0; --n) turn();
            break;
        case Op::trickle:
            for (char c : in.bytes(in.u8())) {
                send(p, std::string_view(&c, 1));
                turn();
            }
            break;
        case Op::stop:
            server_.stop();
            server_.run();
            stopped_ = true;
            if (!server_.router().clients().empty()) fail("clients kept after the daemon stopped");
            break;
        }
    }

    void open(Peer &p) {
        close(p);
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
        for (int fd : fds) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
        }
        ClientId id = server_.adopt(fds[0], "fuzz");
        if (id == 0) {
            ::close(fds[1]);
            return;
        }
        p.fd = fds[1];
        p.id = id;
        p.reading = true;
        p.ended = false;
        p.check = OutputCheck();
    }

    void close(Peer &p) {
        if (p.fd < 0) return;
        ::close(p.fd);
        p.fd = -1;
        gone_.push_back(p.id);
    }

    // Sends all of `bytes` unless the daemon closes first, turning the loop
    // whenever the socket is full, as a blocking client would wait.
    void send(Peer &p, std::string_view bytes) {
        if (p.fd < 0) open(p);
        if (p.fd < 0) return;
        if (bytes.size() > budget_) bytes = bytes.substr(0, budget_);
        budget_ -= bytes.size();
        int stuck = 0;
        while (!bytes.empty()) {
            ssize_t n = ::send(p.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                stuck = 0;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return;  // the daemon closed
            if (!turn()) return;
            if (++stuck > kStuckTurns) fail("the daemon stopped reading client " + std::to_string(p.id));
        }
    }

    void drain(Peer &p) {
        if (p.fd < 0 || p.ended) return;
        char buffer[16 * 1024];
        for (;;) {
            ssize_t n = ::recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) p.ended = true;
                return;
            }
            std::string wrong = p.check.take(std::string_view(buffer, static_cast<std::size_t>(n)));
            if (!wrong.empty()) fail("output to client " + std::to_string(p.id) + ": " + wrong);
        }
    }

    // False once the loop cannot turn any more.
    bool turn() {
        if (stopped_ || turns_ >= turnLimit_) return false;
        ++turns_;
        bool alive = server_.run_once(0);
        for (Peer &p : peers_)
            if (p.reading) drain(p);
        check_books();
        return alive;
    }

    // What the router keeps must add up, whatever the clients did.
    void check_books() {
        const Router &r = server_.router();
        std::size_t connected = 0, subscriptions = 0, members = 0;
        for (const auto &[id, c] : r.clients()) {
            std::string who = "client " + std::to_string(id) + ": ";
            // Past its bound a client may be queued only what is never
            // skipped; its events must be skipped by then.
            if (!c.skipping && c.out.pending() - c.out.newest_bytes() > limits_.maxPendingBytes)
                fail(who + "holds output over its bound without skipping its events");
            if (c.subscriptions.size() > limits_.maxSubscriptions) fail(who + "too many subscriptions");
            std::size_t text = 0, memberBytes = 0;
            for (const auto &[sid, s] : c.subscriptions) {
                text += s.text_bytes();
                memberBytes += s.propertyBytes;
                if (!s.group.empty()) ++members;
            }
            if (text != c.subscriptionTextBytes || text > limits_.maxSubscriptionTextBytes)
                fail(who + "subscription text counted as " + std::to_string(c.subscriptionTextBytes) +
                     ", is " + std::to_string(text));
            if (memberBytes != c.memberPropertyBytes || memberBytes > limits_.maxMemberPropertyBytes)
                fail(who + "member properties counted as " + std::to_string(c.memberPropertyBytes) +
                     ", are " + std::to_string(memberBytes));
            connected += c.connected ? 1 : 0;
            subscriptions += c.subscriptions.size();
        }
        const Stats &s = r.stats();
        if (s.clients != connected || connected > limits_.maxClients)
            fail("clients counted as " + std::to_string(s.clients) + ", are " + std::to_string(connected));
        if (s.subscriptions != subscriptions)
            fail("subscriptions counted as " + std::to_string(s.subscriptions) + ", are " +
                 std::to_string(subscriptions));
        if (r.membership().member_count() != members || r.membership().group_count() > members)
            fail("members counted as " + std::to_string(r.membership().member_count()) + " in " +
                 std::to_string(r.membership().group_count()) + " groups, are " + std::to_string(members));
    }

    Limits limits_;
    Server server_;
    std::array<Peer, kSlots> peers_;
    std::vector<ClientId> gone_;  // clients whose peer closed or half-closed
    std::size_t budget_ = kWriteBudget;
    int turns_ = 0;
    int turnLimit_ = kTurnBudget;
    unsigned serial_ = 0;
    bool stopped_ = false;
};

// Quiet while fuzzing; VAVEVARD_FUZZ_LOG=debug shows what the daemon did with
// one input when a finding is replayed.
LogLevel chosen_log_level() {
    LogLevel level = LogLevel::error;
    if (const char *env = std::getenv("VAVEVARD_FUZZ_LOG")) parse_log_level(env, level);
    return level;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static bool logging = (set_log_level(chosen_log_level()), true);
    (void)logging;
    FuzzInput in(data, size);
    Harness harness;
    harness.play(in);
    return 0;
}
