// vavevard as a program: its configuration from arguments and environment,
// its exit codes and messages, and a clean stop on SIGTERM.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "daemon_harness.h"
#include "support/child_process.h"
#include "options.h"

namespace vavevard {
namespace {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vavevard-test-XXXXXX";
        path_ = ::mkdtemp(pattern) ? pattern : "";
    }
    ~TempDir() {
        if (!path_.empty()) ::rmdir(path_.c_str());
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// The daemon as a child process, with its standard output and error piped.
class Child : public vavevar::test::ChildProcess {
public:
    Child(const std::vector<std::string> &args, const std::vector<std::string> &env)
        : ChildProcess(VAVEVARD_PATH, args, env) {}
};

TEST(DaemonProgram, HelpAndVersion) {
    Child help({"--help"}, {});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(help.stdout_.find("usage: vavevard"), std::string::npos);
    EXPECT_NE(help.stdout_.find("--instance-name"), std::string::npos);
    Child version({"--version"}, {});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.stdout_.rfind("vavevard ", 0), 0u);
}

TEST(DaemonProgram, MissingOrBadConfigurationIsRefusedWithReasons) {
    Child none({}, {});
    EXPECT_EQ(none.wait(), 2);
    EXPECT_NE(none.stderr_.find("no port: give --port or set TAMRIX_LUMO_PROXY_PORT"), std::string::npos);
    EXPECT_NE(none.stderr_.find("no home directory"), std::string::npos);

    Child bad({}, {"TAMRIX_LUMO_PROXY_PORT=80x", "TAMRIX_HOME=/nonexistent/vavevard"});
    EXPECT_EQ(bad.wait(), 2);
    EXPECT_NE(bad.stderr_.find("TAMRIX_LUMO_PROXY_PORT: invalid value '80x' (1 to 65535)"), std::string::npos);
    EXPECT_NE(bad.stderr_.find("home directory '/nonexistent/vavevard' does not exist"), std::string::npos);

    Child unknown({"--colour", "red"}, {});
    EXPECT_EQ(unknown.wait(), 2);
    EXPECT_NE(unknown.stderr_.find("unknown option '--colour'"), std::string::npos);
}

TEST(DaemonProgram, APortInUseIsAClearError) {
    TempDir home;
    int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(holder, reinterpret_cast<sockaddr *>(&addr), &len);
    std::string port = std::to_string(ntohs(addr.sin_port));

    Child child({"--port", port, "--home", home.path()}, {});
    EXPECT_EQ(child.wait(), 1);
    EXPECT_NE(child.stderr_.find("cannot listen on 127.0.0.1:" + port + ": the port is already in use"),
              std::string::npos)
        << child.stderr_;
    ::close(holder);
}

TEST(DaemonProgram, RunsFromTheEnvironmentAndStopsCleanlyOnSigterm) {
    TempDir home;
    Child child({"--port", "0", "--port-file", "-", "--instance-name", "beta"},
                {"TAMRIX_CONFIG_HOME=", "TAMRIX_HOME=" + home.path()});
    std::string portLine;
    ASSERT_TRUE(child.read_stdout_line(portLine)) << child.stderr_;
    auto port = static_cast<std::uint16_t>(std::stoi(portLine));

    test::RawClient client(port);
    test::Message reply;
    ASSERT_TRUE(client.handshake(reply));
    EXPECT_EQ(reply.get("instanceName"), "beta");

    ASSERT_EQ(::kill(child.pid(), SIGTERM), 0);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(client.closed_by_daemon());
    EXPECT_NE(child.stderr_.find("INFO: stopped by signal 15"), std::string::npos) << child.stderr_;
    EXPECT_NE(child.stderr_.find("home " + home.path()), std::string::npos);
}

TEST(DaemonOptions, ArgumentsWinOverTheEnvironmentAndConfigHomeOverHome) {
    TempDir a, b;
    auto env = [&](const char *name) -> const char * {
        std::string n = name;
        if (n == "TAMRIX_LUMO_PROXY_PORT") return "7001";
        if (n == "TAMRIX_CONFIG_HOME") return a.path().c_str();
        if (n == "TAMRIX_HOME") return b.path().c_str();
        return nullptr;
    };
    ParseResult r = parse_options({}, env);
    ASSERT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_EQ(r.options.port, 7001);
    EXPECT_EQ(r.options.home, a.path());

    r = parse_options({"--port=0", "--home", b.path(), "--max-pending-mib", "2", "--log-level", "warn"}, env);
    ASSERT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_EQ(r.options.port, 0);
    EXPECT_EQ(r.options.home, b.path());
    EXPECT_EQ(r.options.limits.maxPendingBytes, 2u * 1024 * 1024);
    EXPECT_EQ(r.options.logLevel, LogLevel::warn);

    EXPECT_EQ(parse_options({"--port", "65536"}, env).message, "--port: invalid value '65536' (0 to 65535)");
    EXPECT_EQ(parse_options({"--port"}, env).message, "option --port needs a value");
    EXPECT_EQ(parse_options({"--log-level", "loud"}, env).message,
              "--log-level: invalid value 'loud' (error, warn, info, debug)");
}

}  // namespace
}  // namespace vavevard
