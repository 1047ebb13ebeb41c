// End-to-end benchmark: a publisher process -> vavevard -> a subscriber
// process, all on this machine, through the real library.
//
// Run without arguments it is the driver: it starts the daemon on a free
// port, then copies of itself in the roles below, and prints the results:
//   throughput  one process publishes N notifications with a B-byte body, one
//               subscriber process receives them; notifications/s at the
//               subscriber, first to last receipt and publisher start to last
//   ping-pong   a pinger publishes, an echo process answers each with a
//               notification of its own; round trips timed, p50 and p99
// and the CPU time the daemon used in each phase.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_process.h"
#include "support/child_process.h"
#include "support/proc_stats.h"
#include "vavevar.h"

namespace {

using vavevar::bench::die;
using vavevar::bench::now_ns;
using vavevar::bench::number;
using vavevar::bench::say;
using vavevar::test::ChildProcess;
using vavevar::test::cpu_seconds;

constexpr int kWaitMs = 120000;

lumo_subscriber *subscribe(const char *filter) {
    char *status = nullptr;
    lumo_subscriber *s = lumo_subscriber_create_wtimeout(filter, "bench", nullptr, nullptr, &status, 10000);
    if (s == nullptr) die(std::string("subscription refused: ") + (status ? status : "?"));
    std::free(status);
    return s;
}

void publish(lumo_publisher *p, const char *type, const std::string &body) {
    lumo_notification *n = lumo_notification_create(type, body.data(), static_cast<std::int32_t>(body.size()));
    if (n == nullptr) die("out of memory");
    lumo_publisher_publish(p, n);
}

// --- roles, each a process of its own; the library is started from the
// environment the driver sets.

int role_sub(long count) {
    lumo_subscriber *s = subscribe("E2E/DATA");
    say("ready");
    std::int64_t first = 0, last = 0;
    for (long i = 0; i < count; ++i) {
        lumo_notification *n = lumo_subscriber_receive(s, 1, kWaitMs);
        if (n == nullptr) die("subscriber: notification " + std::to_string(i) + " did not arrive");
        last = now_ns();
        if (i == 0) first = last;
        lumo_subscriber_relinquish(s, n);
    }
    say(std::to_string(first) + " " + std::to_string(last));
    lumo_subscriber_close(s);
    return 0;
}

int role_pub(long count, long bodySize) {
    lumo_publisher *p = lumo_publisher_create("bench");
    std::string body(static_cast<std::size_t>(bodySize), 'x');
    say(std::to_string(now_ns()));
    for (long i = 0; i < count; ++i) publish(p, "E2E/DATA", body);
    lumo_publisher_close(p);
    return 0;
}

int role_echo(long rounds, long bodySize) {
    lumo_subscriber *s = subscribe("E2E/PING");
    lumo_publisher *p = lumo_publisher_create("echo");
    std::string body(static_cast<std::size_t>(bodySize), 'e');
    say("ready");
    for (long i = 0; i < rounds; ++i) {
        lumo_notification *n = lumo_subscriber_receive(s, 1, kWaitMs);
        if (n == nullptr) die("echo: ping " + std::to_string(i) + " did not arrive");
        lumo_subscriber_relinquish(s, n);
        publish(p, "E2E/PONG", body);
    }
    lumo_publisher_close(p);
    lumo_subscriber_close(s);
    return 0;
}

int role_ping(long rounds, long bodySize) {
    lumo_subscriber *s = subscribe("E2E/PONG");
    lumo_publisher *p = lumo_publisher_create("ping");
    std::string body(static_cast<std::size_t>(bodySize), 'p');
    say("ready");
    std::string go;
    if (!std::getline(std::cin, go)) die("ping: no start");
    std::vector<std::int64_t> rtt;
    rtt.reserve(static_cast<std::size_t>(rounds));
    for (long i = 0; i < rounds; ++i) {
        std::int64_t start = now_ns();
        publish(p, "E2E/PING", body);
        lumo_notification *n = lumo_subscriber_receive(s, 1, kWaitMs);
        if (n == nullptr) die("ping: pong " + std::to_string(i) + " did not arrive");
        rtt.push_back(now_ns() - start);
        lumo_subscriber_relinquish(s, n);
    }
    std::sort(rtt.begin(), rtt.end());
    auto at = [&](double q) { return vavevar::bench::quantile(rtt, q); };
    say(std::to_string(at(0.5)) + " " + std::to_string(at(0.99)) + " " + std::to_string(rtt.front()) +
        " " + std::to_string(rtt.back()));
    lumo_publisher_close(p);
    lumo_subscriber_close(s);
    return 0;
}

int run_role(const std::string &role, long count, long bodySize) {
    if (lumo_init() != 0) die("cannot start the library");
    int rc = role == "sub"    ? role_sub(count)
             : role == "pub"  ? role_pub(count, bodySize)
             : role == "echo" ? role_echo(count, bodySize)
                              : role_ping(count, bodySize);
    lumo_shutdown();
    return rc;
}

// --- the driver

std::unique_ptr<ChildProcess> start_role(const std::string &self, const std::vector<std::string> &env,
                                         const std::string &role, long count, long bodySize,
                                         bool pipe_stdin = false) {
    return std::make_unique<ChildProcess>(
        self, std::vector<std::string>{role, std::to_string(count), std::to_string(bodySize)}, env,
        pipe_stdin);
}

std::string expect_line(ChildProcess &child, const std::string &what) {
    return vavevar::bench::expect_line(child, what, kWaitMs);
}

int drive(const std::string &self, const std::string &daemonPath, long count, long rounds, long bodySize) {
    char pattern[] = "/tmp/vavevar-e2e-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) die("cannot make a temporary home");
    std::string home = pattern;
    ChildProcess daemon(daemonPath, {"--port", "0", "--port-file", "-", "--home", home, "--log-level", "warn"},
                        ChildProcess::environment_with({}));
    std::string port = expect_line(daemon, "starting the daemon");
    auto env = ChildProcess::environment_with({"TAMRIX_LUMO_PROXY_PORT=" + port, "TAMRIX_CONFIG_HOME=" + home});

    std::printf("daemon: vavevard on port %s (pid %d)\n", port.c_str(), static_cast<int>(daemon.pid()));

    // Throughput.
    auto sub = start_role(self, env, "sub", count, bodySize);
    expect_line(*sub, "starting the subscriber");
    double cpu0 = cpu_seconds(daemon.pid());
    auto pub = start_role(self, env, "pub", count, bodySize);
    std::int64_t pubStart = std::stoll(expect_line(*pub, "starting the publisher"));
    std::istringstream times(expect_line(*sub, "receiving"));
    std::int64_t first, last;
    times >> first >> last;
    double cpu1 = cpu_seconds(daemon.pid());
    if (pub->wait(kWaitMs) != 0 || sub->wait(kWaitMs) != 0) die("a throughput process failed");
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
    auto echo = start_role(self, env, "echo", rounds, bodySize);
    expect_line(*echo, "starting the echo");
    auto ping = start_role(self, env, "ping", rounds, bodySize, true);
    expect_line(*ping, "starting the pinger");
    double cpu2 = cpu_seconds(daemon.pid());
    ping->write_stdin("go\n");
    std::istringstream result(expect_line(*ping, "ping-pong"));
    std::int64_t p50, p99, best, worst;
    result >> p50 >> p99 >> best >> worst;
    double cpu3 = cpu_seconds(daemon.pid());
    if (ping->wait(kWaitMs) != 0 || echo->wait(kWaitMs) != 0) die("a ping-pong process failed");
    std::printf("ping-pong: %ld round trips, %ld-byte bodies\n", rounds, bodySize);
    std::printf("  round trip: p50 %.1f us, p99 %.1f us (min %.1f us, max %.1f us)\n", p50 / 1e3,
                p99 / 1e3, best / 1e3, worst / 1e3);
    std::printf("  daemon CPU time: %.2f s (%.1f us per round trip, two events each)\n", cpu3 - cpu2,
                (cpu3 - cpu2) * 1e6 / static_cast<double>(rounds));

    daemon.signal(SIGTERM);
    int rc = daemon.wait(kWaitMs);
    ::rmdir(home.c_str());
    if (rc != 0) die("the daemon exited with status " + std::to_string(rc) + ": " + daemon.stderr_);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    vavevar::bench::program_name = "e2e_bench";
    if (argc == 4) return run_role(argv[1], number(argv[2], "count"), number(argv[3], "body size"));
    long count = 200000, rounds = 20000, bodySize = 128;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--count") count = number(argv[i + 1], "count");
        else if (option == "--rounds") rounds = number(argv[i + 1], "rounds");
        else if (option == "--body") bodySize = number(argv[i + 1], "body size");
        else die("usage: vavevar_e2e_bench [--count N] [--rounds N] [--body BYTES]");
    }
    if (argc % 2 == 0) die("usage: vavevar_e2e_bench [--count N] [--rounds N] [--body BYTES]");
    return drive(vavevar::bench::self_path(), VAVEVARD_PATH, count, rounds, bodySize);
}
