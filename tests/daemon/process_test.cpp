// vavevard as a program: configuration, exit codes and messages, running out
// of file descriptors and of memory, and a clean stop on SIGTERM.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "daemon_harness.h"
#include "options.h"
#include "support/fake_daemon.h"
#include "support/proc_stats.h"
#include "support/programs.h"
#include "support/temp_home.h"
#include "support/threading.h"

#ifndef __has_feature
#define __has_feature(x) 0
#endif

namespace vavevard {
namespace {

using vavevar::test::ChildProcess;
using vavevar::test::DaemonProcess;
using TempDir = vavevar::test::TempHome;

// The daemon on a free port, from the environment alone.
struct RunningDaemon {
    TempDir home;
    DaemonProcess d{{"--instance-name", "beta"}, 0, {"TAMRIX_CONFIG_HOME=", "TAMRIX_HOME=" + home.path()}};
};

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Refusals exit 2 with every reason; a port in use is 1, saying so.
TEST(DaemonProgram, AMissingOrBadConfigurationOrAPortInUseIsRefusedWithEveryReason) {
    ChildProcess help(VAVEVARD_PATH, {"--help"}, {}), version(VAVEVARD_PATH, {"--version"}, {});
    EXPECT_EQ(help.wait() + version.wait(), 0);
    EXPECT_TRUE(contains(help.stdout_, "usage: vavevard") && contains(version.stdout_, "vavevard "));
    ChildProcess bad(VAVEVARD_PATH, {}, {"TAMRIX_LUMO_PROXY_PORT=80x", "TAMRIX_HOME=/nonexistent/vavevard"});
    EXPECT_EQ(bad.wait(), 2);
    EXPECT_TRUE(contains(bad.stderr_, "TAMRIX_LUMO_PROXY_PORT: invalid value '80x' (1 to 65535)"));
    EXPECT_TRUE(contains(bad.stderr_, "home directory '/nonexistent/vavevard' does not exist"));
    TempDir home;
    vavevar::test::FakeDaemon holder;
    std::string port = std::to_string(holder.port());
    ChildProcess taken(VAVEVARD_PATH, {"--port", port, "--home", home.path()}, {});
    EXPECT_EQ(taken.wait(), 1);
    EXPECT_TRUE(contains(taken.stderr_, "cannot listen on 127.0.0.1:" + port + ": the port is already in use"))
        << taken.stderr_;
}

// CPU time the daemon uses over one second, its log read meanwhile (so that
// a full pipe cannot stall it); `seen` counts the lines holding `part`.
long cpu_ms_over_a_second(DaemonProcess &d, const std::string &part, int &seen, std::string &last) {
    auto cpu_ms = [&] { return static_cast<long>(vavevar::test::cpu_seconds(d.child.pid()) * 1000); };
    long before = cpu_ms();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::string line;
    seen = 0;
    while (std::chrono::steady_clock::now() < end)
        if (d.child.read_stderr_line(line, 50) && contains(line, part)) ++seen, last = line;
    return cpu_ms() - before;
}

// With not even the spare descriptor to shed a client, a waiting connection
// would keep the listener ready and the loop spinning: accepting rests and
// resumes once descriptors are free again.
TEST(DaemonProgram, OutOfDescriptorsAcceptingRestsUntilDescriptorsAreFree) {
    RunningDaemon r;
    DaemonProcess &d = r.d;
    ASSERT_TRUE(d.ok()) << d.log();
    rlimit saved{};
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
    rlimit starved{3, saved.rlim_max};  // below what it holds: no new descriptor at all
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, &starved, nullptr), 0);
    test::RawClient waiting(d.port());
    ASSERT_TRUE(waiting.ok());  // in the backlog
    int lines = 0;
    std::string last;
    EXPECT_LT(cpu_ms_over_a_second(d, "accept failed", lines, last), 250) << "ms of CPU in one second";
    EXPECT_GT(lines, 0);
    EXPECT_LT(lines, 30);
    EXPECT_TRUE(contains(last, "accept failed: Too many open files; not accepting for 100 ms")) << last;
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
    EXPECT_TRUE(waiting.handshake());
}

// Out of descriptors, accept fails before it looks at the backlog: a loop that
// sheds a connection and tries again would fail for ever. The daemon sheds
// one per wake-up, keeps answering, logs a few lines, recovers, and stops at
// once and cleanly on SIGTERM.
TEST(DaemonProgram, OutOfDescriptorsItShedsConnectionsWithoutSpinningAndStopsCleanly) {
    RunningDaemon r;
    DaemonProcess &d = r.d;
    ASSERT_TRUE(d.ok()) << d.log();
    test::RawClient watcher(d.port());
    test::Message reply;
    ASSERT_TRUE(watcher.handshake(reply));
    EXPECT_EQ(reply.get("instanceName"), "beta");
    const std::string fds = "/proc/" + std::to_string(d.child.pid()) + "/fd";
    rlimit saved{};
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
    // Room for 8 more than it holds ("." and ".." are counted too).
    rlimit low{static_cast<rlim_t>(vavevar::test::count_entries(fds.c_str())) + 6, saved.rlim_max};
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<std::unique_ptr<test::RawClient>> flood;
    for (int i = 0; i < 60; ++i) flood.push_back(std::make_unique<test::RawClient>(d.port()));
    int lines = 0;
    std::string last;
    EXPECT_LT(cpu_ms_over_a_second(d, "", lines, last), 250) << "ms of CPU in one second";
    EXPECT_LT(lines, 10);
    EXPECT_TRUE(contains(d.child.stderr_, "ERROR: out of file descriptors; a new connection was refused"))
        << d.child.stderr_;
    EXPECT_GT(std::stoi("0" + watcher.stat("connectionsRefused")), 40);
    flood.clear();
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
    bool served = false;  // once the daemon has seen the flood go
    for (int i = 0; i < 100 && !served; ++i) served = test::RawClient(d.port()).handshake();
    EXPECT_TRUE(served);
    for (int i = 0; i < 60; ++i) flood.push_back(std::make_unique<test::RawClient>(d.port()));
    vavevar::test::Stopwatch asked;
    ASSERT_TRUE(d.child.signal(SIGTERM));
    EXPECT_EQ(d.child.wait(), 0);
    EXPECT_LT(asked.ms(), vavevar::test::kLateMs);
    EXPECT_TRUE(watcher.closed_by_daemon());
    EXPECT_TRUE(contains(d.child.stderr_, "INFO: stopped by signal 15")) << d.child.stderr_;
    EXPECT_TRUE(contains(d.child.stderr_, "home " + r.home.path()));
}

// A subscriber that stops reading under a burst of 300,000 events costs the
// daemon its output bound and little more: past it, its events are skipped.
// Once it reads its backlog (and is told what it missed), or once it goes,
// the memory goes back to the system.
TEST(DaemonProgram, AStalledSubscriberUnderABurstCostsItsBoundAndTheMemoryIsReturnedOnceItReadsOrGoes) {
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
    GTEST_SKIP() << "the address sanitizer's allocator keeps freed memory in quarantine";
#endif
    constexpr long kBoundMib = 16;
    constexpr long kMarginMib = 12;  // docs/daemon.md, "Memory"
    TempDir home;
    DaemonProcess d({"--home", home.path(), "--max-pending-mib", std::to_string(kBoundMib),
                     "--replay-window-ms", "0"});
    ASSERT_TRUE(d.ok()) << d.log();
    auto kib = [&](const char *what) { return vavevar::test::status_kib(d.child.pid(), what); };
    test::RawClient pub(d.port()), slow(d.port()), asker(d.port());
    ASSERT_TRUE(pub.handshake() && slow.handshake() && slow.subscribe(1, "BULK"));
    long start = kib("VmRSS");
    auto e = test::outbound_event("BULK");
    e.body = std::string(200, 'x');
    const std::string event = e.bytes();
    constexpr int kEvents = 300000, kBatch = 1000;
    std::string batch;
    for (int i = 0; i < kBatch; ++i) batch += event;
    for (int i = 0; i < kEvents / kBatch; ++i) ASSERT_TRUE(pub.send(batch));
    std::string in;
    for (int i = 0; i < 3000 && (in = asker.stat("eventsIn")) != std::to_string(kEvents); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(in, std::to_string(kEvents));
    long peak = kib("VmHWM");
    long skipped = std::stol(asker.stat("eventsSkipped"));
    EXPECT_GT(skipped, 0);
    EXPECT_EQ(asker.stat("slowConsumerDisconnects"), "0");
    EXPECT_LT(peak - start, (kBoundMib + kMarginMib) * 1024)
        << "KiB: resident from " << start << " to a peak of " << peak;

    test::Message m;
    long received = 0;
    while (slow.read_message(m) && m.kind == test::Message::Kind::event) ++received;
    EXPECT_EQ(m.get("skipped"), std::to_string(skipped));
    EXPECT_EQ(received + skipped, kEvents);
    // Freed memory goes back within a sweep or two.
    long after = peak;
    for (int i = 0; i < 50 && after > start + 8 * 1024; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        after = kib("VmRSS");
    }
    EXPECT_LT(after, start + 8 * 1024) << "KiB resident after the burst, from " << start << " and " << peak;
    std::fprintf(stderr, "resident KiB: %ld at start, %ld at the peak, %ld after; %ld events skipped\n", start,
                 peak, after, skipped);

    // And once a stalled subscriber goes, what it held goes back too.
    slow.close();
    {
        test::RawClient gone(d.port());
        ASSERT_TRUE(gone.handshake() && gone.subscribe(1, "BULK"));
        for (int i = 0; i < kEvents / kBatch / 4; ++i) ASSERT_TRUE(pub.send(batch));
        for (int i = 0; i < 3000 && (in = asker.stat("eventsIn")) != std::to_string(kEvents + kEvents / 4); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_GT(kib("VmRSS"), start + 8 * 1024) << "KiB: the second burst did not take memory";
    }
    after = kib("VmRSS");
    for (int i = 0; i < 50 && after > start + 8 * 1024; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        after = kib("VmRSS");
    }
    EXPECT_LT(after, start + 8 * 1024) << "KiB resident after the subscriber went";
}

// An environment giving a port, a configuration home and a home.
struct Environment {
    TempDir config_home, home;
    GetEnv get = [this](const char *name) -> const char * {
        std::string n = name;
        return n == "TAMRIX_LUMO_PROXY_PORT" ? "7001"
               : n == "TAMRIX_CONFIG_HOME"   ? config_home.path().c_str()
                                             : home.path().c_str();
    };
};

TEST(DaemonOptions, ArgumentsWinOverTheEnvironmentWhereConfigHomeWinsOverHome) {
    Environment env;
    ParseResult r = parse_options({}, env.get, "");
    EXPECT_EQ(std::to_string(r.options.port) + " " + r.options.home, "7001 " + env.config_home.path());
    r = parse_options({"--port=0", "--home", env.home.path(), "--max-pending-mib", "2", "--log-level", "warn"},
                      env.get, "");
    ASSERT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_EQ(std::to_string(r.options.port) + " " + r.options.home, "0 " + env.home.path());
    EXPECT_EQ(r.options.limits.maxPendingBytes, 2u * 1024 * 1024);
    EXPECT_EQ(r.options.logLevel, LogLevel::warn);
}

TEST(DaemonOptions, BadOptionsAreRefusedSayingWhy) {
    Environment env;
    EXPECT_EQ(parse_options({"--port", "65536"}, env.get, "").message, "--port: invalid value '65536' (0 to 65535)");
    EXPECT_EQ(parse_options({"--colour", "red"}, env.get, "").message, "unknown option '--colour' (see --help)");
    EXPECT_EQ(parse_options({"--port"}, env.get, "").message, "option --port needs a value");
    EXPECT_EQ(parse_options({"--log-level", "loud"}, env.get, "").message,
              "--log-level: invalid value 'loud' (error, warn, info, debug)");
}

}  // namespace
}  // namespace vavevard
