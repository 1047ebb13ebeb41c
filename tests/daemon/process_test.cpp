// vavevard as a program: its configuration from arguments and environment,
// its exit codes and messages, a clean stop on SIGTERM, and running out of
// file descriptors.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

TEST(DaemonProgram, AMissingOrBadConfigurationIsRefusedWithEveryReason) {
    ChildProcess help(VAVEVARD_PATH, {"--help"}, {}), version(VAVEVARD_PATH, {"--version"}, {});
    EXPECT_EQ(help.wait() + version.wait(), 0);
    EXPECT_TRUE(contains(help.stdout_, "usage: vavevard") && contains(version.stdout_, "vavevard "));
    ChildProcess none(VAVEVARD_PATH, {}, {});
    EXPECT_EQ(none.wait(), 2);
    EXPECT_TRUE(contains(none.stderr_, "no port: give --port or set TAMRIX_LUMO_PROXY_PORT"));
    EXPECT_TRUE(contains(none.stderr_, "no home directory"));
    ChildProcess bad(VAVEVARD_PATH, {}, {"TAMRIX_LUMO_PROXY_PORT=80x", "TAMRIX_HOME=/nonexistent/vavevard"});
    EXPECT_EQ(bad.wait(), 2);
    EXPECT_TRUE(contains(bad.stderr_, "TAMRIX_LUMO_PROXY_PORT: invalid value '80x' (1 to 65535)"));
    EXPECT_TRUE(contains(bad.stderr_, "home directory '/nonexistent/vavevard' does not exist"));
}

TEST(DaemonProgram, APortInUseIsAClearError) {
    TempDir home;
    vavevar::test::FakeDaemon holder;
    std::string port = std::to_string(holder.port());
    ChildProcess child(VAVEVARD_PATH, {"--port", port, "--home", home.path()}, {});
    EXPECT_EQ(child.wait(), 1);
    EXPECT_TRUE(contains(child.stderr_, "cannot listen on 127.0.0.1:" + port + ": the port is already in use"))
        << child.stderr_;
}

TEST(DaemonProgram, StopsCleanlyOnSigterm) {
    RunningDaemon r;
    DaemonProcess &d = r.d;
    ASSERT_TRUE(d.ok()) << d.log();
    test::RawClient client(d.port());
    test::Message reply;
    ASSERT_TRUE(client.handshake(reply));
    EXPECT_EQ(reply.get("instanceName"), "beta");
    ASSERT_TRUE(d.child.signal(SIGTERM));
    EXPECT_EQ(d.child.wait(), 0);
    EXPECT_TRUE(client.closed_by_daemon());
    EXPECT_TRUE(contains(d.child.stderr_, "INFO: stopped by signal 15")) << d.child.stderr_;
    EXPECT_TRUE(contains(d.child.stderr_, "home " + r.home.path()));
}

// CPU time the process has used, in milliseconds.
long cpu_ms(pid_t pid) { return static_cast<long>(vavevar::test::cpu_seconds(pid) * 1000); }

// With not even the spare descriptor to shed a client, a waiting connection
// would keep the listener ready and the loop spinning: accepting rests and
// resumes once descriptors are free again.
TEST(DaemonProgram, OutOfDescriptorsAcceptingRestsUntilDescriptorsAreFree) {
    RunningDaemon r;
    DaemonProcess &d = r.d;
    ASSERT_TRUE(d.ok()) << d.log();
    rlimit saved{}, starved{};
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
    starved = {3, saved.rlim_max};  // below what it holds: no new descriptor at all
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, &starved, nullptr), 0);
    test::RawClient waiting(d.port());
    ASSERT_TRUE(waiting.ok());  // in the backlog
    // For a second, its log is read (so a full pipe cannot stall it) and its
    // CPU time measured.
    long before = cpu_ms(d.child.pid());
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::string line, last;
    int lines = 0;
    while (std::chrono::steady_clock::now() < end)
        if (d.child.read_stderr_line(line, 50) && contains(line, "accept failed")) ++lines, last = line;
    long used = cpu_ms(d.child.pid()) - before;
    EXPECT_LT(used, 250) << "ms of CPU in one second while out of descriptors";
    EXPECT_GT(lines, 0);
    EXPECT_LT(lines, 30);
    EXPECT_TRUE(contains(last, "accept failed: Too many open files; not accepting for 100 ms")) << last;
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
    EXPECT_TRUE(waiting.handshake());
    ASSERT_TRUE(d.child.signal(SIGTERM));
    EXPECT_EQ(d.child.wait(), 0);
}

std::size_t open_descriptors(pid_t pid) {
    std::size_t n = 0;
    for ([[maybe_unused]] auto &entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) ++n;
    return n;
}

long rss_kib(pid_t pid) { return vavevar::test::status_kib(pid, "VmRSS"); }

// Out of descriptors, accept fails before it looks at the backlog: a loop that
// sheds a connection and tries again would fail for ever. The daemon sheds
// one per wake-up, keeps answering, logs a few lines, recovers, and stops at
// once on SIGTERM.
TEST(DaemonProgram, OutOfDescriptorsItShedsConnectionsWithoutSpinning) {
    RunningDaemon r;
    DaemonProcess &d = r.d;
    ASSERT_TRUE(d.ok()) << d.log();
    test::RawClient watcher(d.port());
    ASSERT_TRUE(watcher.handshake());
    rlimit saved{};
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
    rlimit low{open_descriptors(d.child.pid()) + 8, saved.rlim_max};
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<std::unique_ptr<test::RawClient>> flood;
    for (int i = 0; i < 60; ++i) flood.push_back(std::make_unique<test::RawClient>(d.port()));
    long before = cpu_ms(d.child.pid());
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::string line;
    int lines = 0;
    while (std::chrono::steady_clock::now() < end)
        if (d.child.read_stderr_line(line, 50)) ++lines;
    EXPECT_LT(cpu_ms(d.child.pid()) - before, 250) << "ms of CPU in one second while out of descriptors";
    EXPECT_LT(lines, 10);
    EXPECT_TRUE(contains(d.child.stderr_, "ERROR: out of file descriptors; a new connection was refused"))
        << d.child.stderr_;
    EXPECT_GT(std::stoi("0" + watcher.stat("connectionsRefused")), 40);
    flood.clear();
    ASSERT_EQ(::prlimit(d.child.pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
    bool served = false;  // once the daemon has seen the flood go
    for (int i = 0; i < 100 && !served; ++i) served = test::RawClient(d.port()).handshake();
    EXPECT_TRUE(served);
    flood.clear();
    for (int i = 0; i < 60; ++i) flood.push_back(std::make_unique<test::RawClient>(d.port()));
    vavevar::test::Stopwatch asked;
    ASSERT_TRUE(d.child.signal(SIGTERM));
    EXPECT_EQ(d.child.wait(), 0);
    EXPECT_LT(asked.ms(), vavevar::test::kLateMs);
}

// A burst that makes the daemon hold tens of megabytes (output for a
// subscriber that does not read) is given back to the system once it is over.
TEST(DaemonProgram, MemoryABurstTookIsReturnedAfterIt) {
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
    GTEST_SKIP() << "the address sanitizer's allocator keeps freed memory in quarantine";
#endif
    RunningDaemon r;
    DaemonProcess &d = r.d;
    ASSERT_TRUE(d.ok()) << d.log();
    test::RawClient pub(d.port());
    ASSERT_TRUE(pub.handshake());
    long start = rss_kib(d.child.pid());
    long peak = start;
    {
        test::RawClient slow(d.port());
        ASSERT_TRUE(slow.handshake() && slow.subscribe(1, "BULK"));
        auto e = test::outbound_event("BULK");
        e.body = std::string(8 * 1024, 'x');
        for (int i = 0; i < 6000; ++i) ASSERT_TRUE(pub.send(e.bytes()));
        ASSERT_NE(pub.stat("eventsIn"), "<no answer>");
        peak = rss_kib(d.child.pid());
    }
    // Back under once the daemon has dropped the subscriber's output and
    // swept (once a second).
    long after = peak;
    for (int i = 0; i < 60 && after > start + 16 * 1024; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_NE(pub.stat("eventsIn"), "<no answer>");
        after = rss_kib(d.child.pid());
    }
    EXPECT_GT(peak, start + 32 * 1024) << "KiB: the burst did not take memory";
    EXPECT_LT(after, start + 16 * 1024) << "KiB resident after the burst, from " << start << " and " << peak;
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
    ParseResult r = parse_options({}, env.get);
    EXPECT_EQ(std::to_string(r.options.port) + " " + r.options.home, "7001 " + env.config_home.path());
    r = parse_options({"--port=0", "--home", env.home.path(), "--max-pending-mib", "2", "--log-level", "warn"},
                      env.get);
    ASSERT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_EQ(std::to_string(r.options.port) + " " + r.options.home, "0 " + env.home.path());
    EXPECT_EQ(r.options.limits.maxPendingBytes, 2u * 1024 * 1024);
    EXPECT_EQ(r.options.logLevel, LogLevel::warn);
}

TEST(DaemonOptions, BadOptionsAreRefusedSayingWhy) {
    Environment env;
    EXPECT_EQ(parse_options({"--port", "65536"}, env.get).message, "--port: invalid value '65536' (0 to 65535)");
    EXPECT_EQ(parse_options({"--colour", "red"}, env.get).message, "unknown option '--colour' (see --help)");
    EXPECT_EQ(parse_options({"--port"}, env.get).message, "option --port needs a value");
    EXPECT_EQ(parse_options({"--log-level", "loud"}, env.get).message,
              "--log-level: invalid value 'loud' (error, warn, info, debug)");
}

}  // namespace
}  // namespace vavevard
