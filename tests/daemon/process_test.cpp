// vavevard as a program: its configuration from arguments and environment,
// its exit codes and messages, a clean stop on SIGTERM, and running out of
// file descriptors.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

#include "daemon_harness.h"
#include "options.h"
#include "support/fake_daemon.h"
#include "support/programs.h"
#include "support/temp_home.h"

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

TEST(DaemonProgram, RunsFromTheEnvironmentAndStopsCleanlyOnSigterm) {
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
long cpu_ms(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    for (int i = 1; i <= 13 && stat >> field; ++i) {}
    long user = 0, system = 0;
    stat >> user >> system;
    return (user + system) * 1000 / ::sysconf(_SC_CLK_TCK);
}

// With not even the spare descriptor to shed a client, a waiting connection
// would keep the listener ready and the loop spinning: accepting rests and
// resumes once descriptors are free again.
TEST(DaemonProgram, OutOfDescriptorsItRestsInsteadOfSpinningAndRecovers) {
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

TEST(DaemonOptions, ArgumentsWinOverTheEnvironmentAndConfigHomeOverHome) {
    TempDir a, b;
    auto env = [&](const char *name) -> const char * {
        std::string n = name;
        return n == "TAMRIX_LUMO_PROXY_PORT" ? "7001" : n == "TAMRIX_CONFIG_HOME" ? a.path().c_str() : b.path().c_str();
    };
    ParseResult r = parse_options({}, env);
    EXPECT_EQ(std::to_string(r.options.port) + " " + r.options.home, "7001 " + a.path());
    r = parse_options({"--port=0", "--home", b.path(), "--max-pending-mib", "2", "--log-level", "warn"}, env);
    ASSERT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_EQ(std::to_string(r.options.port) + " " + r.options.home, "0 " + b.path());
    EXPECT_EQ(r.options.limits.maxPendingBytes, 2u * 1024 * 1024);
    EXPECT_EQ(r.options.logLevel, LogLevel::warn);
    EXPECT_EQ(parse_options({"--port", "65536"}, env).message, "--port: invalid value '65536' (0 to 65535)");
    EXPECT_EQ(parse_options({"--colour", "red"}, env).message, "unknown option '--colour' (see --help)");
    EXPECT_EQ(parse_options({"--port"}, env).message, "option --port needs a value");
    EXPECT_EQ(parse_options({"--log-level", "loud"}, env).message,
              "--log-level: invalid value 'loud' (error, warn, info, debug)");
}

}  // namespace
}  // namespace vavevard
