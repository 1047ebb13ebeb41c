// Events between two vavevard nodes bridged through NATS, next to the same
// workloads within one node and on a daemon that is in no cluster, in one
// run: throughput (a publisher process -> its daemon -> a subscriber process)
// and round trips (a pinger and an echo process), with the CPU time each
// daemon and each nats-server spends per event. Node A and node B each have
// their own nats-server, routed to the other; the same processes stay up for
// the whole run. The placements' order rotates from round to round, and
// medians over the rounds close the run.
//
// Run without "--role" it is the driver; with it, one of the processes in
// peer_roles.h (the peer benchmark's roles, run against vavevar).
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_process.h"
#include "cluster_nodes.h"
#include "peer_roles.h"
#include "peer_system.h"
#include "support/child_process.h"
#include "support/proc_stats.h"
#include "support/wire_client.h"

namespace vavevar::bench {
namespace {

using vavevar::test::ChildProcess;
using vavevar::test::cpu_seconds;

constexpr int kLineWaitMs = 300000;

struct Options {
    long count = 200000;
    long rounds = 3;
    long pings = 20000;
    long warmup = 1000;
    long body = 128;
    long maxPendingMib = 0;  // 0: the daemons' default
};

// Where the parties run. The publisher and the pinger are always on the
// first daemon; the subscriber and the echo on the second.
struct Placement {
    const char *name;
    const PeerServer *first;
    const PeerServer *second;
};

// A server whose CPU time is charged to the events of a phase; a daemon
// also has its stats port, for what its counters say of the phase.
struct Watched {
    const char *label;
    const PeerServer *server;
    int statsPort = 0;
};

// The counters that tell where events went missing between a publisher on
// one node and a subscriber on another.
constexpr const char *kLossCounters[] = {"clusterEventsForwarded", "clusterEventsForwardDropped",
                                         "clusterEventsReceived", "clusterEventsInboundDropped",
                                         "clusterDuplicatesDropped", "eventsSkipped"};

// Those counters of the daemon on `port` (a stats request needs no
// handshake); -1 for one it does not report.
std::vector<long long> loss_counters(int port) {
    std::vector<long long> values;
    vavevar::test::RawClient client(static_cast<std::uint16_t>(port));
    vavevar::test::Request answer;
    bool answered = client.ok() && client.send("POST /stats HTTP/1.1\r\n\r\n") &&
                    client.read_message(answer);
    for (const char *name : kLossCounters) {
        std::string value = answered ? answer.get(name) : "";
        char *end = nullptr;
        long long n = std::strtoll(value.c_str(), &end, 10);
        values.push_back(end != value.c_str() && *end == '\0' ? n : -1);
    }
    return values;
}

struct Measurement {
    double rate = 0;  // events/s at the subscriber, first receipt to last
    long received = 0;
    double pubCpuUs = 0, subCpuUs = 0;
    std::vector<double> serverCpuUs;  // per event, in the order of the watched servers
    double p50Us = 0, p90Us = 0, p99Us = 0;
    std::vector<double> pingServerCpuUs;  // per round trip
};

class Driver {
public:
    Driver(const Options &options, std::vector<Watched> watched)
        : options_(options), watched_(std::move(watched)), self_(self_path()) {}

    Measurement run(const Placement &where) {
        std::printf("%s\n", where.name);
        Measurement m;
        throughput(where, m);
        ping_pong(where, m);
        return m;
    }

    // Until an event published on each node has reached the other: their
    // links to NATS are up and the servers route to each other.
    void wait_for_cluster(const PeerServer &a, const PeerServer &b) {
        probe(a, b);
        probe(b, a);
    }

    const std::vector<Watched> &watched() const { return watched_; }

private:
    std::unique_ptr<ChildProcess> start(const PeerServer &server, const char *role, long count,
                                        bool pipeStdin = false) {
        return std::make_unique<ChildProcess>(
            self_,
            std::vector<std::string>{"--role", role, std::to_string(count),
                                     std::to_string(options_.body),
                                     std::to_string(options_.warmup)},
            server.client_environment(), pipeStdin);
    }

    void finish(ChildProcess &child, const char *what) {
        if (child.wait(kLineWaitMs) != 0) die(std::string(what) + " failed: " + child.stderr_);
    }

    void probe(const PeerServer &from, const PeerServer &to) {
        auto sub = start(to, "sub", 1);
        expect_line(*sub, "starting the probe's subscriber", kLineWaitMs);
        std::string line;
        for (int attempt = 0; attempt < 100; ++attempt) {
            auto pub = start(from, "pub", 1);
            finish(*pub, "a probe");
            if (sub->read_stdout_line(line, 300)) {
                finish(*sub, "the probe's subscriber");
                return;
            }
        }
        die("no event crossed from " + from.description() + " to " + to.description() +
            " in 100 attempts");
    }

    std::vector<std::int64_t> servers_cpu_ns() const {
        std::vector<std::int64_t> cpu;
        for (const Watched &w : watched_) cpu.push_back(threads_cpu_ns(w.server->pid()));
        return cpu;
    }
    std::vector<double> servers_ticks() const {
        std::vector<double> ticks;
        for (const Watched &w : watched_) ticks.push_back(cpu_seconds(w.server->pid()));
        return ticks;
    }

    // Per event (or round trip) in microseconds; says so when the kernel's
    // ticks for a whole process show more than its threads now have, which
    // means threads ended during the phase and their time is missing.
    std::vector<double> per_unit(const std::vector<std::int64_t> &before,
                                 const std::vector<std::int64_t> &after,
                                 const std::vector<double> &ticksBefore,
                                 const std::vector<double> &ticksAfter, long units) const {
        std::vector<double> us;
        for (std::size_t i = 0; i < watched_.size(); ++i) {
            double ns = static_cast<double>(after[i] - before[i]);
            double ticksNs = (ticksAfter[i] - ticksBefore[i]) * 1e9;
            if (ticksNs > ns + 20e6)
                std::printf("  (%s: %.0f ms in ticks against %.0f ms on its threads now)\n",
                            watched_[i].label, ticksNs / 1e6, ns / 1e6);
            us.push_back(ns / 1e3 / static_cast<double>(units));
        }
        return us;
    }

    // The servers that did any work in the phase (those of other
    // placements idle).
    void print_servers(const std::vector<double> &us, const char *unit) const {
        const char *separator = "";
        for (std::size_t i = 0; i < us.size(); ++i) {
            if (us[i] < 0.005) continue;
            std::printf("%s %s %.2f us", separator, watched_[i].label, us[i]);
            separator = ",";
        }
        std::printf(" per %s\n", unit);
    }

    void throughput(const Placement &where, Measurement &m) {
        const long count = options_.count;
        auto sub = start(*where.second, "sub", count);
        expect_line(*sub, "starting the subscriber", kLineWaitMs);
        auto counters0 = daemons_counters();
        auto ticks0 = servers_ticks();
        auto cpu0 = servers_cpu_ns();
        auto pub = start(*where.first, "pub", count);
        std::int64_t pubStart =
            std::stoll(expect_line(*pub, "starting the publisher", kLineWaitMs));
        std::int64_t pubEnd = 0, pubCpu = 0, first = 0, last = 0, subCpu = 0;
        std::istringstream(expect_line(*pub, "publishing", kLineWaitMs)) >> pubEnd >> pubCpu;
        std::istringstream(expect_line(*sub, "receiving", kLineWaitMs)) >> first >> last >>
            m.received >> subCpu;
        auto cpu1 = servers_cpu_ns();
        auto ticks1 = servers_ticks();
        finish(*pub, "the publisher");
        finish(*sub, "the subscriber");
        auto counters1 = settled_counters();

        double receiving = static_cast<double>(last - first) / 1e9;
        m.rate = receiving > 0 ? static_cast<double>(m.received - 1) / receiving : 0;
        m.pubCpuUs = static_cast<double>(pubCpu) / 1e3 / static_cast<double>(count);
        m.subCpuUs = static_cast<double>(subCpu) / 1e3 / static_cast<double>(count);
        m.serverCpuUs = per_unit(cpu0, cpu1, ticks0, ticks1, count);
        std::printf("  throughput: %ld of %ld received", m.received, count);
        if (m.received < count) std::printf(" (%ld LOST)", count - m.received);
        std::printf(
            ", %.0f events/s first to last receipt (%.3f s); publisher start to last receipt "
            "%.3f s, publisher done after %.3f s\n",
            m.rate, receiving, static_cast<double>(last - pubStart) / 1e9,
            static_cast<double>(pubEnd - pubStart) / 1e9);
        std::printf("  CPU per event: publisher %.2f us, subscriber %.2f us;", m.pubCpuUs,
                    m.subCpuUs);
        print_servers(m.serverCpuUs, "event");
        print_counters(counters0, counters1);
    }

    std::vector<std::vector<long long>> daemons_counters() const {
        std::vector<std::vector<long long>> all;
        for (const Watched &w : watched_)
            all.push_back(w.statsPort > 0 ? loss_counters(w.statsPort) : std::vector<long long>{});
        return all;
    }

    // Within one node the subscriber can be done while the bridge is still
    // handing events to NATS: the counters once two reads 100 ms apart
    // agree (at most 5 s).
    std::vector<std::vector<long long>> settled_counters() const {
        auto now = daemons_counters();
        for (int tries = 0; tries < 50; ++tries) {
            timespec pause{0, 100'000'000};
            ::nanosleep(&pause, nullptr);
            auto next = daemons_counters();
            if (next == now) break;
            now = std::move(next);
        }
        return now;
    }

    // What changed in the phase, daemon by daemon.
    void print_counters(const std::vector<std::vector<long long>> &before,
                        const std::vector<std::vector<long long>> &after) const {
        for (std::size_t i = 0; i < watched_.size(); ++i) {
            std::string changes;
            for (std::size_t c = 0; c < before[i].size() && c < after[i].size(); ++c)
                if (before[i][c] >= 0 && after[i][c] > before[i][c])
                    changes += std::string(changes.empty() ? "" : ", ") + kLossCounters[c] + " +" +
                               std::to_string(after[i][c] - before[i][c]);
            if (!changes.empty()) std::printf("  %s: %s\n", watched_[i].label, changes.c_str());
        }
    }

    void ping_pong(const Placement &where, Measurement &m) {
        auto echo = start(*where.second, "echo", options_.pings);
        expect_line(*echo, "starting the echo", kLineWaitMs);
        auto ping = start(*where.first, "ping", options_.pings, true);
        expect_line(*ping, "starting the pinger", kLineWaitMs);
        auto ticks0 = servers_ticks();
        auto cpu0 = servers_cpu_ns();
        ping->write_stdin("go\n");
        std::int64_t p50 = 0, p90 = 0, p99 = 0, best = 0, worst = 0;
        std::istringstream(expect_line(*ping, "ping-pong", kLineWaitMs)) >> p50 >> p90 >> p99 >>
            best >> worst;
        auto cpu1 = servers_cpu_ns();
        auto ticks1 = servers_ticks();
        finish(*ping, "the pinger");
        finish(*echo, "the echo");
        m.p50Us = static_cast<double>(p50) / 1e3;
        m.p90Us = static_cast<double>(p90) / 1e3;
        m.p99Us = static_cast<double>(p99) / 1e3;
        m.pingServerCpuUs =
            per_unit(cpu0, cpu1, ticks0, ticks1, options_.pings + options_.warmup);
        std::printf(
            "  ping-pong: %ld round trips after %ld: p50 %.1f us, p90 %.1f us, p99 %.1f us"
            " (min %.1f us, max %.1f us)\n  CPU per round trip (warm-up included):",
            options_.pings, options_.warmup, m.p50Us, m.p90Us, m.p99Us,
            static_cast<double>(best) / 1e3, static_cast<double>(worst) / 1e3);
        print_servers(m.pingServerCpuUs, "round trip");
    }

    const Options &options_;
    std::vector<Watched> watched_;
    std::string self_;
};

double median_of(const std::vector<Measurement> &runs,
                 const std::function<double(const Measurement &)> &field) {
    std::vector<double> values;
    for (const Measurement &m : runs) values.push_back(field(m));
    return median(values);
}

// One row per placement: the clients' CPU (throughput only) and each
// watched server's.
void cpu_table(const char *title, const std::vector<Placement> &placements,
               const std::vector<Watched> &watched,
               const std::vector<std::vector<Measurement>> &runs, bool perEvent) {
    std::printf("\n%s:\n\n| Placement |", title);
    if (perEvent) std::printf(" publisher | subscriber |");
    for (const Watched &w : watched) std::printf(" %s |", w.label);
    std::printf("\n|---|");
    for (std::size_t i = 0; i < watched.size() + (perEvent ? 2 : 0); ++i) std::printf("---|");
    std::printf("\n");
    for (std::size_t p = 0; p < placements.size(); ++p) {
        const auto &r = runs[p];
        std::printf("| %s |", placements[p].name);
        if (perEvent)
            std::printf(" %.2f | %.2f |",
                        median_of(r, [](const Measurement &x) { return x.pubCpuUs; }),
                        median_of(r, [](const Measurement &x) { return x.subCpuUs; }));
        for (std::size_t i = 0; i < watched.size(); ++i) {
            double us = median_of(r, [i, perEvent](const Measurement &x) {
                return perEvent ? x.serverCpuUs[i] : x.pingServerCpuUs[i];
            });
            if (perEvent) std::printf(" %.2f |", us);
            else std::printf(" %.1f |", us);
        }
        std::printf("\n");
    }
}

void report(const Options &options, const std::vector<Placement> &placements,
            const std::vector<Watched> &watched,
            const std::vector<std::vector<Measurement>> &runs) {
    std::printf("\nMedians over %ld round(s): %ld events of %ld bytes; %ld round trips\n\n",
                options.rounds, options.count, options.body, options.pings);
    std::printf("| Placement | Throughput (events/s) | Received (lowest) | p50 (us) | p90 (us) |"
                " p99 (us) |\n|---|---|---|---|---|---|\n");
    for (std::size_t p = 0; p < placements.size(); ++p) {
        const auto &r = runs[p];
        long received = options.count;
        for (const Measurement &x : r) received = std::min(received, x.received);
        std::printf("| %s | %.0f | %ld | %.1f | %.1f | %.1f |\n", placements[p].name,
                    median_of(r, [](const Measurement &x) { return x.rate; }), received,
                    median_of(r, [](const Measurement &x) { return x.p50Us; }),
                    median_of(r, [](const Measurement &x) { return x.p90Us; }),
                    median_of(r, [](const Measurement &x) { return x.p99Us; }));
    }
    cpu_table("CPU in us per event (throughput), medians", placements, watched, runs, true);
    cpu_table("CPU in us per round trip (ping-pong, warm-up included), medians", placements,
              watched, runs, false);
}

// A daemon's port, from the environment its clients are given.
int port_of(const PeerServer &daemon) {
    const std::string variable = "TAMRIX_LUMO_PROXY_PORT=";
    for (const std::string &e : daemon.client_environment())
        if (e.rfind(variable, 0) == 0) return std::atoi(e.c_str() + variable.size());
    return 0;
}

int drive(const Options &options) {
    std::printf(
        "cluster_bench: %ld round(s), %ld events of %ld bytes, %ld round trips after %ld "
        "warm-up; the daemons' --max-pending-mib %s\n",
        options.rounds, options.count, options.body, options.pings, options.warmup,
        options.maxPendingMib > 0 ? std::to_string(options.maxPendingMib).c_str() : "default");
    const std::string cluster = "bench" + std::to_string(::getpid());
    std::vector<std::string> daemonArgs;
    if (options.maxPendingMib > 0)
        daemonArgs = {"--max-pending-mib", std::to_string(options.maxPendingMib)};
    ClusterNode a = start_cluster_node(cluster, "nodeA", {}, daemonArgs);
    ClusterNode b = start_cluster_node(cluster, "nodeB", {&a}, daemonArgs);
    std::unique_ptr<PeerServer> alone = start_daemon("alone", daemonArgs);
    for (const ClusterNode *n : {&a, &b})
        std::printf("%s\n%s\n", n->nats->description().c_str(), n->daemon->description().c_str());
    std::printf("no cluster: %s\n", alone->description().c_str());

    Driver driver(options, {{"vavevard A", a.daemon.get(), port_of(*a.daemon)},
                            {"nats-server A", a.nats.get()},
                            {"nats-server B", b.nats.get()},
                            {"vavevard B", b.daemon.get(), port_of(*b.daemon)},
                            {"vavevard alone", alone.get(), port_of(*alone)}});
    driver.wait_for_cluster(*a.daemon, *b.daemon);
    std::fflush(stdout);

    const std::vector<Placement> placements{
        {"across nodes (A -> B)", a.daemon.get(), b.daemon.get()},
        {"within node A", a.daemon.get(), a.daemon.get()},
        {"one daemon, no cluster", alone.get(), alone.get()}};
    const std::size_t n = placements.size();
    std::vector<std::vector<Measurement>> runs(n);
    for (long round = 0; round < options.rounds; ++round) {
        std::printf("\nround %ld\n", round + 1);
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t p = (i + static_cast<std::size_t>(round)) % n;
            runs[p].push_back(driver.run(placements[p]));
            std::fflush(stdout);
        }
    }
    report(options, placements, driver.watched(), runs);

    if (int rc = alone->stop(); rc != 0)
        die("the daemon in no cluster exited with status " + std::to_string(rc));
    stop_cluster_node(b);
    stop_cluster_node(a);
    return 0;
}

long count_or_zero(const char *text, const char *what) {
    return std::strcmp(text, "0") == 0 ? 0 : number(text, what);
}

Options parse(int argc, char **argv) {
    const char *usage =
        "usage: vavevar_cluster_bench [--count N] [--rounds N] [--pings N] [--warmup N] "
        "[--body BYTES] [--max-pending-mib N]";
    Options options;
    if (argc % 2 == 0) die(usage);
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--count")
            options.count = number(argv[i + 1], "count");
        else if (option == "--rounds")
            options.rounds = number(argv[i + 1], "rounds");
        else if (option == "--pings")
            options.pings = number(argv[i + 1], "pings");
        else if (option == "--warmup")
            options.warmup = count_or_zero(argv[i + 1], "warm-up");
        else if (option == "--body")
            options.body = number(argv[i + 1], "body size");
        else if (option == "--max-pending-mib")
            options.maxPendingMib = number(argv[i + 1], "--max-pending-mib");
        else
            die(usage);
    }
    return options;
}

}  // namespace
}  // namespace vavevar::bench

int main(int argc, char **argv) {
    using namespace vavevar::bench;
    program_name = "cluster_bench";
    if (argc == 6 && std::strcmp(argv[1], "--role") == 0)
        return run_role(kVavevarSystem, argv[2], number(argv[3], "count"),
                        number(argv[4], "body size"), count_or_zero(argv[5], "warm-up"));
    return drive(parse(argc, argv));
}
