// End-to-end benchmark: a publisher process -> vavevard -> a subscriber
// process, all on this machine, through the real library.
//
// Run without arguments it is the driver: it starts the daemon on a free
// port, then copies of itself in the roles of peer_roles.h (the same
// processes the peer benchmark runs against vavevar), and prints the results:
//   throughput  one process publishes N notifications with a B-byte body, one
//               subscriber process receives them; notifications/s at the
//               subscriber, first to last receipt and publisher start to last
//   ping-pong   a pinger publishes, an echo process answers each with a
//               notification of its own; round trips timed, p50 and p99
// and the CPU time the daemon used in each phase.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_process.h"
#include "peer_roles.h"
#include "peer_system.h"
#include "support/child_process.h"
#include "support/proc_stats.h"

namespace {

using vavevar::bench::die;
using vavevar::bench::kVavevarSystem;
using vavevar::bench::number;
using vavevar::bench::PeerServer;
using vavevar::test::ChildProcess;
using vavevar::test::cpu_seconds;

constexpr int kWaitMs = 120000;

std::unique_ptr<ChildProcess> start_role(const std::string &self, const PeerServer &daemon,
                                         const std::string &role, long count, long bodySize,
                                         bool pipe_stdin = false) {
    // No warm-up: every round trip is timed, as this benchmark always did.
    return std::make_unique<ChildProcess>(
        self,
        std::vector<std::string>{"--role", role, kVavevarSystem.name, std::to_string(count),
                                 std::to_string(bodySize), "0"},
        daemon.client_environment(), pipe_stdin);
}

std::string expect_line(ChildProcess &child, const std::string &what) {
    return vavevar::bench::expect_line(child, what, kWaitMs);
}

int drive(const std::string &self, long count, long rounds, long bodySize) {
    std::unique_ptr<PeerServer> daemon = kVavevarSystem.start_server();
    std::printf("daemon: %s\n", daemon->description().c_str());

    // Throughput.
    auto sub = start_role(self, *daemon, "sub", count, bodySize);
    expect_line(*sub, "starting the subscriber");
    double cpu0 = cpu_seconds(daemon->pid());
    auto pub = start_role(self, *daemon, "pub", count, bodySize);
    std::int64_t pubStart = std::stoll(expect_line(*pub, "starting the publisher"));
    std::int64_t first = 0, last = 0, cpu = 0;
    long received = 0;
    std::istringstream(expect_line(*sub, "receiving")) >> first >> last >> received >> cpu;
    double cpu1 = cpu_seconds(daemon->pid());
    if (pub->wait(kWaitMs) != 0 || sub->wait(kWaitMs) != 0) die("a throughput process failed");
    if (received != count) die(std::to_string(count - received) + " notifications did not arrive");
    double receiving = static_cast<double>(last - first) / 1e9;
    double overall = static_cast<double>(last - pubStart) / 1e9;
    std::printf("throughput: %ld notifications of %ld bytes\n", count, bodySize);
    std::printf("  at the subscriber, first to last: %.3f s, %.0f notifications/s\n", receiving,
                static_cast<double>(count - 1) / receiving);
    std::printf("  publisher start to last receipt:  %.3f s, %.0f notifications/s\n", overall,
                static_cast<double>(count) / overall);
    std::printf("  daemon CPU time: %.2f s (%.1f us per notification)\n", cpu1 - cpu0,
                (cpu1 - cpu0) * 1e6 / static_cast<double>(count));

    // Ping-pong.
    auto echo = start_role(self, *daemon, "echo", rounds, bodySize);
    expect_line(*echo, "starting the echo");
    auto ping = start_role(self, *daemon, "ping", rounds, bodySize, true);
    expect_line(*ping, "starting the pinger");
    double cpu2 = cpu_seconds(daemon->pid());
    ping->write_stdin("go\n");
    std::int64_t p50 = 0, p90 = 0, p99 = 0, best = 0, worst = 0;
    std::istringstream(expect_line(*ping, "ping-pong")) >> p50 >> p90 >> p99 >> best >> worst;
    double cpu3 = cpu_seconds(daemon->pid());
    if (ping->wait(kWaitMs) != 0 || echo->wait(kWaitMs) != 0) die("a ping-pong process failed");
    std::printf("ping-pong: %ld round trips, %ld-byte bodies\n", rounds, bodySize);
    std::printf("  round trip: p50 %.1f us, p99 %.1f us (min %.1f us, max %.1f us)\n", p50 / 1e3,
                p99 / 1e3, best / 1e3, worst / 1e3);
    std::printf("  daemon CPU time: %.2f s (%.1f us per round trip, two events each)\n",
                cpu3 - cpu2, (cpu3 - cpu2) * 1e6 / static_cast<double>(rounds));

    int rc = daemon->stop();
    if (rc != 0) die("the daemon exited with status " + std::to_string(rc));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    vavevar::bench::program_name = "e2e_bench";
    if (argc == 7 && std::strcmp(argv[1], "--role") == 0)
        return vavevar::bench::run_role(kVavevarSystem, argv[2], number(argv[4], "count"),
                                        number(argv[5], "body size"), 0);
    long count = 200000, rounds = 20000, bodySize = 128;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--count")
            count = number(argv[i + 1], "count");
        else if (option == "--rounds")
            rounds = number(argv[i + 1], "rounds");
        else if (option == "--body")
            bodySize = number(argv[i + 1], "body size");
        else
            die("usage: vavevar_e2e_bench [--count N] [--rounds N] [--body BYTES]");
    }
    if (argc % 2 == 0) die("usage: vavevar_e2e_bench [--count N] [--rounds N] [--body BYTES]");
    return drive(vavevar::bench::self_path(), count, rounds, bodySize);
}
