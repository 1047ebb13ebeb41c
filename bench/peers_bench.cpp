// vavevar next to NATS and Redis pub/sub on this machine, interleaved in one
// run: for each system a publisher process -> its server -> a subscriber
// process (throughput, and the CPU time each of the three spends per message),
// then a pinger and an echo process (round trips). Each round starts every
// server afresh on a free loopback port, in an order that rotates from round
// to round, so that no system always runs first or on a machine warmed by
// the same neighbour. Medians over the rounds and vavevar's ratios to the
// others close the run.
//
// Run without "--role" it is the driver; with it, one of the processes in
// peer_roles.h.
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_process.h"
#include "peer_roles.h"
#include "peer_system.h"
#include "support/child_process.h"
#include "support/proc_stats.h"

namespace vavevar::bench {
namespace {

using vavevar::test::ChildProcess;
using vavevar::test::cpu_seconds;

constexpr int kLineWaitMs = 300000;
const PeerSystem *const kSystems[] = {&kVavevarSystem, &kNatsSystem, &kRedisSystem};

struct Options {
    long count = 200000;
    long rounds = 3;
    long pings = 20000;
    long warmup = 1000;
    long body = 128;
    std::vector<const PeerSystem *> systems{std::begin(kSystems), std::end(kSystems)};
};

// One system's figures in one round. CPU times are per published message.
struct Measurement {
    double rate = 0;  // messages/s at the subscriber, first receipt to last
    long received = 0;
    double pubCpuUs = 0, serverCpuUs = 0, subCpuUs = 0;
    double p50Us = 0, p90Us = 0, p99Us = 0;
    double cpuUs() const { return pubCpuUs + serverCpuUs + subCpuUs; }
};

const PeerSystem &system_named(const std::string &name) {
    for (const PeerSystem *system : kSystems)
        if (::strcasecmp(system->name, name.c_str()) == 0) return *system;
    die("unknown system '" + name + "' (vavevar, nats, redis)");
}

class Driver {
public:
    explicit Driver(const Options &options) : options_(options), self_(self_path()) {}

    Measurement run(const PeerSystem &system) {
        std::unique_ptr<PeerServer> server = system.start_server();
        std::printf("%s: %s\n", system.name, server->description().c_str());
        Measurement m;
        throughput(system, *server, m);
        ping_pong(system, *server, m);
        if (int rc = server->stop(); rc != 0)
            die(std::string(system.name) + "'s server exited with status " + std::to_string(rc));
        return m;
    }

private:
    std::unique_ptr<ChildProcess> start(const PeerSystem &system, const PeerServer &server,
                                        const char *role, long count, bool pipeStdin = false) {
        return std::make_unique<ChildProcess>(
            self_,
            std::vector<std::string>{"--role", role, system.name, std::to_string(count),
                                     std::to_string(options_.body),
                                     std::to_string(options_.warmup)},
            server.client_environment(), pipeStdin);
    }

    void finish(ChildProcess &child, const char *what) {
        if (child.wait(kLineWaitMs) != 0) die(std::string(what) + " failed: " + child.stderr_);
    }

    void throughput(const PeerSystem &system, const PeerServer &server, Measurement &m) {
        const long count = options_.count;
        auto sub = start(system, server, "sub", count);
        expect_line(*sub, "starting the subscriber", kLineWaitMs);
        double ticks0 = cpu_seconds(server.pid());
        std::int64_t server0 = threads_cpu_ns(server.pid());
        auto pub = start(system, server, "pub", count);
        std::int64_t pubStart =
            std::stoll(expect_line(*pub, "starting the publisher", kLineWaitMs));
        std::int64_t pubEnd = 0, pubCpu = 0, first = 0, last = 0, subCpu = 0;
        std::istringstream(expect_line(*pub, "publishing", kLineWaitMs)) >> pubEnd >> pubCpu;
        std::istringstream(expect_line(*sub, "receiving", kLineWaitMs)) >> first >> last >>
            m.received >> subCpu;
        std::int64_t server1 = threads_cpu_ns(server.pid());
        double ticks1 = cpu_seconds(server.pid());
        finish(*pub, "the publisher");
        finish(*sub, "the subscriber");

        const double perMessage =
            1e-3 / static_cast<double>(count);  // ns in total -> us per message
        double receiving = static_cast<double>(last - first) / 1e9;
        m.rate = receiving > 0 ? static_cast<double>(m.received - 1) / receiving : 0;
        m.pubCpuUs = static_cast<double>(pubCpu) * perMessage;
        m.subCpuUs = static_cast<double>(subCpu) * perMessage;
        m.serverCpuUs = static_cast<double>(server1 - server0) * perMessage;
        // The threads' sum misses threads that ended; the kernel's ticks for
        // the whole process would show it.
        double ticksNs = (ticks1 - ticks0) * 1e9;
        if (ticksNs > static_cast<double>(server1 - server0) + 20e6)
            std::printf(
                "  (server: %.0f ms in ticks against %.0f ms on its threads now: some ended)\n",
                ticksNs / 1e6, static_cast<double>(server1 - server0) / 1e6);
        std::printf("  throughput: %ld of %ld received", m.received, count);
        if (m.received < count) std::printf(" (%ld LOST)", count - m.received);
        std::printf(
            ", %.0f messages/s first to last receipt (%.3f s); publisher start to last receipt "
            "%.3f s,"
            " publisher done after %.3f s\n",
            m.rate, receiving, static_cast<double>(last - pubStart) / 1e9,
            static_cast<double>(pubEnd - pubStart) / 1e9);
        std::printf(
            "  CPU per message: publisher %.2f us, server %.2f us, subscriber %.2f us, sum %.2f "
            "us\n",
            m.pubCpuUs, m.serverCpuUs, m.subCpuUs, m.cpuUs());
    }

    void ping_pong(const PeerSystem &system, const PeerServer &server, Measurement &m) {
        auto echo = start(system, server, "echo", options_.pings);
        expect_line(*echo, "starting the echo", kLineWaitMs);
        auto ping = start(system, server, "ping", options_.pings, true);
        expect_line(*ping, "starting the pinger", kLineWaitMs);
        ping->write_stdin("go\n");
        std::int64_t p50 = 0, p90 = 0, p99 = 0, best = 0, worst = 0;
        std::istringstream(expect_line(*ping, "ping-pong", kLineWaitMs)) >> p50 >> p90 >> p99 >>
            best >> worst;
        finish(*ping, "the pinger");
        finish(*echo, "the echo");
        m.p50Us = static_cast<double>(p50) / 1e3;
        m.p90Us = static_cast<double>(p90) / 1e3;
        m.p99Us = static_cast<double>(p99) / 1e3;
        std::printf(
            "  ping-pong: %ld round trips after %ld: p50 %.1f us, p90 %.1f us, p99 %.1f us"
            " (min %.1f us, max %.1f us)\n",
            options_.pings, options_.warmup, m.p50Us, m.p90Us, m.p99Us,
            static_cast<double>(best) / 1e3, static_cast<double>(worst) / 1e3);
    }

    const Options &options_;
    std::string self_;
};

double median_of(const std::vector<Measurement> &runs,
                 const std::function<double(const Measurement &)> &field) {
    std::vector<double> values;
    for (const Measurement &m : runs) values.push_back(field(m));
    return median(values);
}

void report(const Options &options, const std::vector<std::vector<Measurement>> &runs) {
    std::printf("\nMedians over %ld round(s): %ld messages of %ld bytes; %ld round trips\n\n",
                options.rounds, options.count, options.body, options.pings);
    std::printf(
        "| System | Throughput (messages/s) | Received (lowest) | CPU us/message: publisher | "
        "server |"
        " subscriber | sum | p50 (us) | p90 (us) | p99 (us) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    std::vector<Measurement> medians;
    for (std::size_t s = 0; s < options.systems.size(); ++s) {
        const auto &r = runs[s];
        Measurement m;
        m.rate = median_of(r, [](const Measurement &x) { return x.rate; });
        m.pubCpuUs = median_of(r, [](const Measurement &x) { return x.pubCpuUs; });
        m.serverCpuUs = median_of(r, [](const Measurement &x) { return x.serverCpuUs; });
        m.subCpuUs = median_of(r, [](const Measurement &x) { return x.subCpuUs; });
        m.p50Us = median_of(r, [](const Measurement &x) { return x.p50Us; });
        m.p90Us = median_of(r, [](const Measurement &x) { return x.p90Us; });
        m.p99Us = median_of(r, [](const Measurement &x) { return x.p99Us; });
        m.received = options.count;
        for (const Measurement &x : r) m.received = std::min(m.received, x.received);
        // The sum's median, not the sum of the medians.
        double cpuSum = median_of(r, [](const Measurement &x) { return x.cpuUs(); });
        std::printf("| %s | %.0f | %ld | %.2f | %.2f | %.2f | %.2f | %.1f | %.1f | %.1f |\n",
                    options.systems[s]->name, m.rate, m.received, m.pubCpuUs, m.serverCpuUs,
                    m.subCpuUs, cpuSum, m.p50Us, m.p90Us, m.p99Us);
        m.serverCpuUs = cpuSum - m.pubCpuUs - m.subCpuUs;  // so that cpuUs() gives the sum's median
        medians.push_back(m);
    }
    if (options.systems.front() != &kVavevarSystem || options.systems.size() < 2) return;
    std::printf(
        "\n| Ratio | Throughput | CPU per message (sum) | p50 | p99 |\n|---|---|---|---|---|\n");
    for (std::size_t s = 1; s < options.systems.size(); ++s) {
        const Measurement &v = medians[0], &o = medians[s];
        std::printf("| vavevar/%s | %.2f | %.2f | %.2f | %.2f |\n", options.systems[s]->name,
                    v.rate / o.rate, v.cpuUs() / o.cpuUs(), v.p50Us / o.p50Us, v.p99Us / o.p99Us);
    }
    std::printf("\nThroughput above 1 and the others below 1 favour vavevar.\n");
}

int drive(const Options &options) {
    std::printf(
        "peers_bench: %ld round(s), %ld messages of %ld bytes, %ld round trips after %ld warm-up\n",
        options.rounds, options.count, options.body, options.pings, options.warmup);
    Driver driver(options);
    const std::size_t n = options.systems.size();
    std::vector<std::vector<Measurement>> runs(n);
    for (long round = 0; round < options.rounds; ++round) {
        std::printf("\nround %ld\n", round + 1);
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t s = (i + static_cast<std::size_t>(round)) % n;
            runs[s].push_back(driver.run(*options.systems[s]));
            std::fflush(stdout);
        }
    }
    report(options, runs);
    return 0;
}

long count_or_zero(const char *text, const char *what) {
    return std::strcmp(text, "0") == 0 ? 0 : number(text, what);
}

Options parse(int argc, char **argv) {
    const char *usage =
        "usage: vavevar_peers_bench [--count N] [--rounds N] [--pings N] [--warmup N] [--body "
        "BYTES]"
        " [--only vavevar,nats,redis]";
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
        else if (option == "--only") {
            // Kept in the usual order, so that the ratios are vavevar's to the others.
            std::vector<const PeerSystem *> chosen;
            std::string list = argv[i + 1];
            for (std::size_t at = 0; at <= list.size();) {
                std::size_t comma = std::min(list.find(',', at), list.size());
                chosen.push_back(&system_named(list.substr(at, comma - at)));
                at = comma + 1;
            }
            options.systems.clear();
            for (const PeerSystem *system : kSystems)
                if (std::find(chosen.begin(), chosen.end(), system) != chosen.end())
                    options.systems.push_back(system);
        } else
            die(usage);
    }
    return options;
}

}  // namespace
}  // namespace vavevar::bench

int main(int argc, char **argv) {
    using namespace vavevar::bench;
    program_name = "peers_bench";
    if (argc == 7 && std::strcmp(argv[1], "--role") == 0)
        return run_role(system_named(argv[3]), argv[2], number(argv[4], "count"),
                        number(argv[5], "body size"), count_or_zero(argv[6], "warm-up"));
    return drive(parse(argc, argv));
}
