// vavevard as an operator runs it: a home that cannot be used, the
// configuration file and SIGHUP, the log file, the signals, and the service
// manager's protocols (readiness, watchdog, passed sockets, journal
// priorities) without a service manager.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/programs.h"
#include "support/temp_home.h"
#include "support/wire_client.h"

namespace {

using vavevar::test::ChildProcess;
using TempDir = vavevar::test::TempHome;

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Polls `path` until it holds `part`, for at most five seconds.
bool file_gets(const std::string &path, const std::string &part) {
    for (int i = 0; i < 500; ++i) {
        if (contains(read_file(path), part)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// No TAMRIX_* settings of the test's own leak in.
std::vector<std::string> clean_env(std::vector<std::string> more = {}) {
    more.insert(more.end(), {"TAMRIX_HOME=", "TAMRIX_CONFIG_HOME=", "TAMRIX_LUMO_PROXY_PORT=", "NOTIFY_SOCKET=",
                             "WATCHDOG_USEC=", "LISTEN_PID=", "JOURNAL_STREAM=", "STATE_DIRECTORY="});
    return ChildProcess::environment_with(more);
}

bool connects(std::uint16_t port) {
    vavevar::test::RawClient c(port);
    return c.handshake();
}

// Whether the kernel takes a connection to the port (no one need accept it).
bool tcp_connects(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

TEST(DaemonStart, AHomeThatIsMissingOrNotWritableIsOneLineAndExitStatusTwo) {
    ChildProcess missing(VAVEVARD_PATH, {"--port", "0", "--home", "/nonexistent/vavevar"}, clean_env());
    EXPECT_EQ(missing.wait(), 2);
    EXPECT_EQ(missing.stderr_, "vavevard: home directory '/nonexistent/vavevar' does not exist or is not a directory\n");
    ChildProcess locked(VAVEVARD_PATH, {"--port", "0"}, clean_env({"TAMRIX_HOME=/proc/self"}));
    EXPECT_EQ(locked.wait(), 2);
    EXPECT_EQ(locked.stderr_.rfind("vavevard: home directory '/proc/self' is not writable: ", 0), 0u)
        << locked.stderr_;
    EXPECT_EQ(std::count(locked.stderr_.begin(), locked.stderr_.end(), '\n'), 1);
    TempDir dir;
    ChildProcess noConfig(VAVEVARD_PATH, {"--port", "0", "--config", dir.path() + "/x.conf"},
                          clean_env({"TAMRIX_HOME=" + dir.path()}));
    EXPECT_EQ(noConfig.wait(), 2);
    EXPECT_TRUE(contains(noConfig.stderr_, "configuration file '" + dir.path() + "/x.conf'")) << noConfig.stderr_;
}

// The file sets what the command line does not; SIGHUP applies a new log
// level at once, names what waits for a restart, and reopens the log file
// (so that a rotated one is written anew).
TEST(DaemonSignals, HupReloadsTheFileAndReopensTheLogWhileTermStopsAndRemovesThePortFile) {
    TempDir home;
    std::string conf = home.path() + "/vavevard.conf", log = home.path() + "/vavevard.log";
    std::string portFile = home.path() + "/port";
    std::ofstream(conf) << "# test\nlog-level = warn\ninstance-name = from-file\nlog-file = " << log << "\n";
    ChildProcess d(VAVEVARD_PATH, {"--config", conf, "--port", "0", "--port-file", portFile},
                   clean_env({"TAMRIX_HOME=" + home.path()}));
    ASSERT_TRUE(file_gets(portFile, "\n")) << d.stderr_;
    auto port = static_cast<std::uint16_t>(std::stoi(read_file(portFile)));
    vavevar::test::RawClient client(port);
    vavevar::test::Request reply;
    ASSERT_TRUE(client.handshake(reply));
    EXPECT_EQ(reply.get("instanceName"), "from-file");
    EXPECT_FALSE(contains(read_file(log), "INFO")) << "the file's log level holds";

    std::ofstream(conf) << "log-level = debug\ninstance-name = changed\nlog-file = " << log << "\n";
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_TRUE(d.signal(SIGHUP));
    ASSERT_TRUE(file_gets(log, "SIGHUP: configuration reloaded, log reopened")) << read_file(log + ".1");
    EXPECT_TRUE(contains(read_file(log), "SIGHUP: instance-name changed; takes effect at the next start"));
    EXPECT_TRUE(contains(read_file(log), "INFO: SIGHUP: log level now debug"));
    vavevar::test::RawClient late(port);
    ASSERT_TRUE(late.handshake());
    EXPECT_TRUE(file_gets(log, "DEBUG: client")) << "debug lines after the reload";

    // A configuration broken since is refused and the running one kept.
    std::ofstream(conf) << "log-level = loud\n";
    ASSERT_TRUE(d.signal(SIGHUP));
    EXPECT_TRUE(file_gets(log, "SIGHUP: configuration not reloaded: " + conf +
                                   ":1: log-level: invalid value 'loud'"));
    EXPECT_TRUE(file_gets(log, "SIGHUP: configuration kept, log reopened"));
    EXPECT_TRUE(connects(port));

    ASSERT_TRUE(d.signal(SIGINT));
    EXPECT_EQ(d.wait(), 0);
    EXPECT_TRUE(contains(read_file(log), "INFO: stopped by signal 2"));
    EXPECT_NE(::access(portFile.c_str(), F_OK), 0) << "the port file is removed";
    EXPECT_EQ(d.stderr_, "") << "everything went to the log file";
}

// Signals whose default would end the daemon silently are logged and let be.
TEST(DaemonSignals, UsrAlarmAndRealTimeSignalsAreLoggedAndIgnored) {
    TempDir home;
    vavevar::test::DaemonProcess d({}, 0, clean_env({"TAMRIX_HOME=" + home.path()}));
    ASSERT_TRUE(d.ok()) << d.log();
    std::string line;
    for (int s : {SIGUSR1, SIGUSR2, SIGALRM, SIGRTMIN + 1}) {
        ASSERT_TRUE(d.child.signal(s));
        bool seen = false;
        while (!seen && d.child.read_stderr_line(line)) seen = contains(line, "ignored");
        EXPECT_TRUE(seen) << "signal " << s << ": " << d.log();
    }
    EXPECT_TRUE(contains(d.log(), "WARN: SIGUSR1 ignored"));
    EXPECT_TRUE(contains(d.log(), "WARN: signal " + std::to_string(SIGRTMIN + 1) + " ignored"));
    EXPECT_TRUE(connects(d.port()));
    EXPECT_EQ(d.stop(), 0);
}

// A datagram socket standing in for the service manager's.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &name) : name_(name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, name.data(), name.size());
        if (name[0] == '@') a.sun_path[0] = '\0';
        auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (name[0] == '@' ? 0 : 1));
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr *>(&a), size) == 0;
    }
    ~NotifySocket() {
        ::close(fd_);
        if (filler_ >= 0) ::close(filler_);
    }
    // Fills the socket's queue, so that the daemon's next message waits
    // until next() has taken the filling out again.
    bool fill() {
        filler_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_storage own{};
        socklen_t size = sizeof own;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&own), &size);
        for (;; ++filled_)
            if (::sendto(filler_, "FILL", 4, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&own), size) != 4)
                return errno == EAGAIN && filled_ > 0;
    }
    bool ok() const { return bound_; }
    std::string env() const { return "NOTIFY_SOCKET=" + name_; }
    // The next datagram, "" after five seconds without one.
    std::string next() {
        for (char skip[8]; filled_ > 0; --filled_) ::recv(fd_, skip, sizeof skip, 0);
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return "";
        char buffer[512];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
    }

private:
    std::string name_;
    int fd_ = -1, filler_ = -1;
    int filled_ = 0;
    bool bound_ = false;
};

// READY=1 comes once clients can connect; WATCHDOG=1 comes at half the
// interval asked for; STOPPING=1 at a stop. Both socket kinds of name work.
TEST(DaemonServiceManager, ReadyOnlyOnceListeningThenWatchdogPingsAndStoppingAtTheEnd) {
    TempDir home;
    for (std::string name : {home.path() + "/notify", "@vavevar-test-" + std::to_string(::getpid())}) {
        NotifySocket manager(name);
        ASSERT_TRUE(manager.ok()) << name << ": " << std::strerror(errno);
        ASSERT_TRUE(manager.fill());
        ChildProcess d(VAVEVARD_PATH, {"--port", "0", "--port-file", "-"},
                       clean_env({"TAMRIX_HOME=" + home.path(), manager.env(), "WATCHDOG_USEC=200000"}));
        // While READY=1 cannot be sent, the daemon must already listen.
        std::string port;
        ASSERT_TRUE(d.read_stdout_line(port, 1000)) << d.stderr_;
        EXPECT_TRUE(tcp_connects(static_cast<std::uint16_t>(std::stoi(port))));
        EXPECT_EQ(manager.next(), "READY=1") << d.stderr_;
        EXPECT_TRUE(connects(static_cast<std::uint16_t>(std::stoi(port))));
        EXPECT_EQ(manager.next(), "WATCHDOG=1");
        EXPECT_EQ(manager.next(), "WATCHDOG=1");
        ASSERT_TRUE(d.signal(SIGTERM));
        std::string last;
        for (std::string m = manager.next(); !m.empty() && last != "STOPPING=1"; m = manager.next()) last = m;
        EXPECT_EQ(last, "STOPPING=1");
        EXPECT_EQ(d.wait(), 0);
    }
}

int listening_socket(std::uint16_t &port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);  // inherited: no close-on-exec
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

// The shell gives the daemon the socket as descriptor 3 and its own process
// id, which exec keeps, as LISTEN_PID.
std::vector<std::string> activated(int fd, const std::string &pid = "$$") {
    return {"-c",
            "export LISTEN_PID=" + pid + " LISTEN_FDS=1; exec \"$0\" \"$@\" 3<&" + std::to_string(fd) + " " +
                std::to_string(fd) + "<&-",
            VAVEVARD_PATH, "--port", "0", "--port-file", "-"};
}

// Sockets passed by the service manager are served in place of --port; ones
// meant for another process are left alone.
TEST(DaemonServiceManager, ASocketPassedAsDescriptorThreeIsServed) {
    TempDir home;
    std::uint16_t port = 0;
    int fd = listening_socket(port);
    ASSERT_GE(fd, 0);
    ChildProcess d("/bin/sh", activated(fd), clean_env({"TAMRIX_HOME=" + home.path()}));
    ::close(fd);
    std::string reported;
    ASSERT_TRUE(d.read_stdout_line(reported)) << d.stderr_;
    EXPECT_EQ(reported, std::to_string(port));
    EXPECT_TRUE(connects(port));
    ASSERT_TRUE(d.signal(SIGTERM));
    EXPECT_EQ(d.wait(), 0);
    EXPECT_TRUE(contains(d.stderr_, "listening on passed sockets port " + std::to_string(port))) << d.stderr_;

    fd = listening_socket(port);
    ASSERT_GE(fd, 0);
    ChildProcess other("/bin/sh", activated(fd, "1"), clean_env({"TAMRIX_HOME=" + home.path()}));
    ::close(fd);
    ASSERT_TRUE(other.read_stdout_line(reported)) << other.stderr_;
    EXPECT_NE(reported, std::to_string(port)) << "it listened on a port of its own";
    EXPECT_TRUE(connects(static_cast<std::uint16_t>(std::stoi(reported))));
    other.signal(SIGTERM);
    other.wait();
}

// Priorities prefix the lines only when standard error is the journal's.
TEST(DaemonServiceManager, JournalPrioritiesPrefixLinesOnlyWhenStderrIsTheJournalStream) {
    TempDir home;
    std::string log = home.path() + "/log";
    std::ofstream(log) << "";
    struct stat st {};
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    for (std::string journal : {stream, stream + "1"}) {
        vavevar::test::DaemonProcess d({"--log-file", log}, 0,
                                       clean_env({"TAMRIX_HOME=" + home.path(), "JOURNAL_STREAM=" + journal}));
        ASSERT_TRUE(d.ok());
        ::kill(d.child.pid(), SIGUSR2);
        ASSERT_TRUE(file_gets(log, "SIGUSR2 ignored"));
        EXPECT_EQ(d.stop(), 0);
    }
    std::string text = read_file(log);
    std::size_t second = text.find("listening on", text.find("listening on") + 1);
    ASSERT_NE(second, std::string::npos) << text;
    std::string first = text.substr(0, second), other = text.substr(second);
    EXPECT_EQ(first.rfind("<6>", 0), 0u) << first;
    EXPECT_TRUE(contains(first, "\n<4>")) << first;
    EXPECT_FALSE(contains(other, "\n<")) << other;
}

}  // namespace
