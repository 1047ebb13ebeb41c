// The tool's two ways to the daemon: a plain loopback connection for what the
// library does not offer (the stats request, and telling "no daemon" apart at
// once), and a started library for everything else.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "vavevar.h"

namespace vavevar::cli {

// A blocking TCP connection to the daemon on localhost; every wait is bounded.
class DaemonSocket {
public:
    // Tries each address "localhost" resolves to; throws Failure naming the
    // port and the reason when none accepts.
    DaemonSocket(std::uint16_t port, int timeoutMs);
    ~DaemonSocket();
    DaemonSocket(const DaemonSocket &) = delete;
    DaemonSocket &operator=(const DaemonSocket &) = delete;

    void send_all(const std::string &bytes);
    // Reads one message up to and including its empty line; throws Failure
    // when the daemon closes first or the time-out passes.
    std::string read_header_block();

private:
    int fd_ = -1;
    int timeoutMs_;
    std::uint16_t port_;
    std::string buffer_;
};

// The library started for one subcommand, stopped by the destructor. The
// daemon is probed first so that a missing daemon is an immediate error
// rather than a silent wait.
class Session {
public:
    // `budgetMs` (when positive) bounds the first connection attempt too, for
    // a --timeout that must cover connecting.
    explicit Session(const Endpoint &endpoint, std::int64_t budgetMs = -1);
    // Stops the library; while an exception is on its way out it abandons
    // what is queued, so that the error is not held back by a daemon that
    // does not read.
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Waits up to the library's 10 s for the daemon link; throws Failure
    // saying `what` is at stake, the port and the time waited when it is not up.
    void require_connection(const std::string &what) const;
    std::uint16_t port() const { return port_; }
    // "the daemon on localhost:PORT".
    std::string where() const;
    // The time since the session began, as "1.2 s".
    std::string waited() const;

private:
    std::uint16_t port_;
    std::chrono::steady_clock::time_point began_;
};

using Properties = std::vector<std::pair<std::string, std::string>>;

// Sets `properties` on `n` so that they read in the order given here (the
// library puts each in front of the earlier ones). They go on the wire in
// that order and the receiving library puts each in front again, so a
// subscriber lists them last first, which docs/cli.md promises. The names and values were checked
// when parsed, so only memory can run out: that throws Failure.
void set_properties(lumo_notification *n, const Properties &properties);

struct SubscriberCloser {
    void operator()(lumo_subscriber *s) const { lumo_subscriber_close(s); }
};
using Subscription = std::unique_ptr<lumo_subscriber, SubscriberCloser>;

// Subscribes through a started session and waits up to 10 s for the daemon's
// answer. A refusal (as a rule, a filter the daemon cannot compile) throws
// UsageError with the daemon's reason; no answer throws Failure.
Subscription subscribe(const std::string &expr, const std::string &component,
                       const std::optional<std::string> &group, bool deltas,
                       const lumo_proplist *properties);

// Subscribes without blocking and waits for the daemon's answer until
// `deadline`, looking for a stop signal between waits: a stop returns null
// with `stopped` set. Refusal and no answer throw as subscribe() does.
class StopSignals;
Subscription subscribe_until(const Session &session, const std::string &expr,
                             const std::string &component, const std::optional<std::string> &group,
                             const lumo_proplist *properties,
                             std::chrono::steady_clock::time_point deadline,
                             const StopSignals &signals, int &stopped);

// Stop requests for the subcommands that wait: SIGINT, SIGTERM and SIGHUP are
// blocked in every thread (construct it before the Session, so that the
// library's threads inherit the mask) and looked for between waits.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // The pending stop signal taken, or 0 when there is none.
    int pending() const;

private:
    sigset_t set_{};
    sigset_t old_{};
};

}  // namespace vavevar::cli
