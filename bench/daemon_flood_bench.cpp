// The daemon's own cost per notification, without the client library: one
// raw connection publishes a flood of events written as the library writes
// them, another reads what the daemon delivers to its one subscription, and
// the daemon's CPU time over the flood is divided by the events. With no
// library on either end, the two cores go to the daemon and to two plain
// socket loops, so the figure moves less with the clients' own work than the
// end-to-end benchmark's does.
//
//   vavevard_flood_bench [--count N (1000000)] [--rounds N (3)] [--body BYTES (128)]
//                        [--daemon PATH (the vavevard built with it)]
// --daemon runs another build of the daemon under the same flood, so that two
// builds can be compared run for run.
#include <sys/socket.h>
#include <sys/stat.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "support/child_process.h"
#include "support/daemon_wire.h"
#include "support/proc_stats.h"
#include "support/wire_client.h"

namespace {

using vavevar::test::ChildProcess;
using vavevar::test::cpu_seconds;
using vavevar::test::InboundEvent;
using vavevar::test::RawClient;

constexpr int kWaitMs = 30000;
constexpr const char *kUsage =
    "usage: vavevard_flood_bench [--count N] [--rounds N] [--body BYTES] [--daemon PATH]";
constexpr std::size_t kEventsPerSend = 256;

using vavevar::bench::die;
using vavevar::bench::number;

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// An event as the client library writes it: subscriber 0, no time headers.
std::string published_event(long bodySize) {
    InboundEvent e;
    e.subscriber_ids = "0";
    e.event_type = "FLOOD/DATA";
    e.event_id = "bench:4242:0-1";
    e.creation_time_name = e.delivery_time_name = "";
    e.generating_component = "bench";
    e.generating_process = "4242";
    e.generating_node = "bench-node";
    e.instance_name = "bench";
    e.body.assign(static_cast<std::size_t>(bodySize), 'x');
    return e.bytes();
}

void handshake(RawClient &c) {
    vavevar::test::Request reply;
    if (!c.ok() || !c.handshake(reply, "Pid=" + std::to_string(::getpid()) + "; Home=/tmp"))
        die("no answer to the handshake");
    if (reply.get("Result") != "success") die("handshake refused: " + reply.get("Message"));
}

// Reads and discards `bytes` from `fd`; false when they do not all come in
// time.
bool drain(int fd, std::size_t bytes) {
    std::vector<char> buffer(256 * 1024);
    while (bytes > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) <= 0) return false;
        ssize_t n = ::recv(fd, buffer.data(), std::min(buffer.size(), bytes), 0);
        if (n <= 0) return false;
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}


}  // namespace

int main(int argc, char **argv) {
    vavevar::bench::program_name = "flood_bench";
    long count = 1000000, rounds = 3, bodySize = 128;
    std::string daemonPath = VAVEVARD_PATH;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--count") count = number(argv[i + 1], "count");
        else if (option == "--rounds") rounds = number(argv[i + 1], "rounds");
        else if (option == "--body") bodySize = number(argv[i + 1], "body size");
        else if (option == "--daemon") daemonPath = argv[i + 1];
        else die(kUsage);
    }
    if (argc % 2 == 0) die(kUsage);

    char pattern[] = "/tmp/vavevard-flood-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) die("cannot make a temporary home");
    std::string home = pattern;
    ChildProcess daemon(daemonPath, {"--port", "0", "--port-file", "-", "--home", home, "--log-level", "warn"},
                        ChildProcess::environment_with({}));
    std::string portLine;
    if (!daemon.read_stdout_line(portLine, kWaitMs)) die("the daemon did not start: " + daemon.stderr_);
    auto port = static_cast<std::uint16_t>(std::stoi(portLine));
    std::printf("daemon: vavevard on port %u (pid %d)\n", port, static_cast<int>(daemon.pid()));

    RawClient sub(port), pub(port);
    handshake(sub);
    handshake(pub);
    if (!sub.subscribe(1, "FLOOD/DATA")) die("the subscription was refused");

    // One event first, to learn what each delivery weighs: every field is the
    // same from one event to the next, the times included (13 digits each).
    std::string event = published_event(bodySize);
    vavevar::test::Request delivered;
    if (!pub.send(event) || !sub.read_message(delivered)) die("the first event was not delivered");
    if (!sub.quiet(100)) die("more than one delivery for the first event");
    std::size_t deliveredBytes = delivered.raw.size();

    std::string chunk;
    for (std::size_t i = 0; i < kEventsPerSend; ++i) chunk += event;
    std::printf("flood: %ld events of %zu bytes in (body %ld), %zu bytes out each, %ld rounds\n", count,
                event.size(), bodySize, deliveredBytes, rounds);

    std::vector<double> perEvent;
    for (long round = 0; round < rounds; ++round) {
        double cpu0 = cpu_seconds(daemon.pid());
        double start = now_s();
        std::atomic<bool> sent{true};
        std::thread publisher([&] {
            long left = count;
            while (left > 0) {
                std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(left), kEventsPerSend);
                if (!pub.send(std::string_view(chunk).substr(0, n * event.size()))) {
                    sent = false;
                    return;
                }
                left -= static_cast<long>(n);
            }
        });
        bool received = drain(sub.fd(), deliveredBytes * static_cast<std::size_t>(count));
        double seconds = now_s() - start;
        double cpu = cpu_seconds(daemon.pid()) - cpu0;
        publisher.join();
        if (!sent || !received) die("the flood did not get through: " + daemon.stderr_);
        double us = cpu * 1e6 / static_cast<double>(count);
        perEvent.push_back(us);
        std::printf("  round %ld: %.3f s, %.0f events/s; daemon CPU %.2f s, %.2f us per event\n", round + 1,
                    seconds, static_cast<double>(count) / seconds, cpu, us);
    }
    std::sort(perEvent.begin(), perEvent.end());
    std::printf("daemon CPU per event: best %.2f us, median %.2f us\n", perEvent.front(),
                perEvent[perEvent.size() / 2]);

    daemon.signal(SIGTERM);
    int rc = daemon.wait(kWaitMs);
    ::rmdir(home.c_str());
    if (rc != 0) die("the daemon exited with status " + std::to_string(rc) + ": " + daemon.stderr_);
    return 0;
}
