// Access control and file safety of a running vavevard: a reloaded policy
// takes effect on what clients already hold, the monitoring endpoint answers
// other users as the policy says, the library run as another user reports
// the refusals to its application, and whatever another user planted at the
// daemon's file paths is neither followed nor waited on.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "other_users.h"
#include "support/programs.h"
#include "support/temp_home.h"

namespace vavevard {
namespace {

using vavevar::test::ChildProcess;
using vavevar::test::DaemonProcess;
using vavevar::test::TempHome;
using namespace test;

constexpr const char *kSetpriv = "/usr/bin/setpriv";

// The whole answer of one HTTP request made by `uid`.
std::string http_get_as(uid_t uid, std::uint16_t port, const std::string &path) {
    int fd = as_user(uid, [] { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return "<no connection>";
    }
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n", got;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return "<not sent>";
    }
    for (pollfd p{fd, POLLIN, 0};;) {
        if (::poll(&p, 1, 5000) <= 0) break;
        char buffer[65536];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return got;
}

// Reads the daemon's log until a line holding `text` (true) or the wait ends.
bool log_says(ChildProcess &daemon, const std::string &text) {
    std::string line;
    while (daemon.read_stderr_line(line, 5000))
        if (line.find(text) != std::string::npos) return true;
    return false;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A daemon with a configuration file it re-reads on SIGHUP.
struct ConfiguredDaemon {
    TempHome home;
    std::string conf = home.path() + "/vavevard.conf";
    std::unique_ptr<DaemonProcess> d;

    explicit ConfiguredDaemon(const std::string &text, std::vector<std::string> args = {}) {
        std::ofstream(conf) << text;
        args.insert(args.begin(), {"--config", conf});
        d = std::make_unique<DaemonProcess>(
            args, 0, ChildProcess::environment_with({"TAMRIX_CONFIG_HOME=", "TAMRIX_HOME=" + home.path()}));
    }
    bool reload(const std::string &text) {
        std::ofstream(conf) << text;
        return d->child.signal(SIGHUP) && log_says(d->child, "SIGHUP: configuration reloaded");
    }
};

TEST(DaemonAccessProcess, SighupAppliesTheNewPolicyToNewRequestsAndToSubscriptionsAlreadyMade) {
    VAVEVARD_NEEDS_ROOT();
    ConfiguredDaemon daemon("allow-subscribe uid:65534 = ALARM/*\nallow-subscribe uid:65533 = *\n");
    ASSERT_TRUE(daemon.d->ok()) << daemon.d->log();
    const std::uint16_t port = daemon.d->port();
    RawClient owner(port);
    auto nobody = client_of(kNobody, port);
    auto stranger = client_of(kStranger, port);
    ASSERT_TRUE(owner.handshake() && nobody->handshake() && nobody->subscribe(1, "") &&
                stranger->handshake() && stranger->subscribe(1, ""));
    ASSERT_TRUE(owner.send(event_request("ALARM/A") + event_request("billing/B")));
    EXPECT_EQ(types_received(*nobody), (std::vector<std::string>{"ALARM/A"}));
    EXPECT_EQ(types_received(*stranger), (std::vector<std::string>{"ALARM/A", "billing/B"}));

    // Narrowed for one user, taken away from the other.
    ASSERT_TRUE(daemon.reload("allow-subscribe uid:65534 = billing/*\n")) << daemon.d->log();
    EXPECT_TRUE(stranger->closed_by_daemon());
    ASSERT_TRUE(owner.send(event_request("ALARM/C") + event_request("billing/D")));
    EXPECT_EQ(types_received(*nobody), (std::vector<std::string>{"billing/D"}));
    Message m;
    auto again = client_of(kStranger, port);
    ASSERT_TRUE(again->handshake(m));
    EXPECT_EQ(m.get("Message"), "user 65533 is not allowed to connect");
    EXPECT_EQ(owner.stat("policyDisconnects"), "1");

    // A policy that does not parse leaves the running one in force.
    std::ofstream(daemon.conf) << "allow-subscribe uid:65534 = (\n";
    ASSERT_TRUE(daemon.d->child.signal(SIGHUP) && log_says(daemon.d->child, "configuration not reloaded"));
    ASSERT_TRUE(owner.send(event_request("billing/E")));
    EXPECT_EQ(types_received(*nobody), (std::vector<std::string>{"billing/E"}));
}

TEST(DaemonAccessProcess, TheMonitoringEndpointAnswersOtherUsersAsThePolicySays) {
    VAVEVARD_NEEDS_ROOT();
    ConfiguredDaemon daemon("allow-stats = uid:65533\n", {"--http-port", "0"});
    ASSERT_TRUE(daemon.d->ok()) << daemon.d->log();
    std::string line;
    std::uint16_t http = 0;
    const std::string marker = "over HTTP on 127.0.0.1 port ";
    while (http == 0 && daemon.d->child.read_stderr_line(line))
        if (std::size_t at = line.find(marker); at != std::string::npos)
            http = static_cast<std::uint16_t>(std::stoi(line.substr(at + marker.size())));
    ASSERT_NE(http, 0);

    for (const char *path : {"/stats", "/metrics"}) {
        std::string refused = http_get_as(kNobody, http, path);
        EXPECT_TRUE(refused.starts_with("HTTP/1.1 403 Forbidden\r\n")) << refused;
        EXPECT_NE(refused.find("user 65534 may not read the daemon's statistics"), std::string::npos);
        EXPECT_EQ(refused.find("eventsIn"), std::string::npos);
        EXPECT_TRUE(http_get_as(kStranger, http, path).starts_with("HTTP/1.1 200 OK\r\n"));
    }
    std::string metrics = http_get_as(0, http, "/metrics");
    EXPECT_NE(metrics.find("\nvavevard_refused_stats_total 2\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("\nvavevard_http_responses_total{code=\"403\"} 2\n"), std::string::npos) << metrics;
}

// The library run as another user, through the tool: what the daemon refuses
// reaches the application as the status the library reports.
TEST(DaemonAccessProcess, TheLibraryOfAnotherUserReportsTheRefusalsToItsApplication) {
    VAVEVARD_NEEDS_ROOT();
    if (::access(kSetpriv, X_OK) != 0) GTEST_SKIP() << "setpriv is missing";
    ConfiguredDaemon daemon("allow-connect = uid:65534\n");
    ASSERT_TRUE(daemon.d->ok()) << daemon.d->log();
    TempHome home;
    ::chmod(home.c_str(), 0755);
    auto as_nobody = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", VAVEVAR_TOOL_PATH});
        return std::make_unique<ChildProcess>(
            kSetpriv, args,
            ChildProcess::environment_with({"TAMRIX_LUMO_PROXY_PORT=" + std::to_string(daemon.d->port()),
                                            "TAMRIX_CONFIG_HOME=" + home.path()}));
    };
    auto stats = as_nobody({"stats"});
    EXPECT_EQ(stats->wait(10000), 1) << stats->stderr_;
    EXPECT_NE(stats->stderr_.find("the daemon refused: user 65534 may not read the daemon's statistics"),
              std::string::npos) << stats->stderr_;
    EXPECT_EQ(stats->stdout_, "");

    auto sub = as_nobody({"sub", "ALARM/*", "-c", "1", "-t", "5"});
    EXPECT_NE(sub->wait(15000), 0);
    EXPECT_NE(sub->stderr_.find("user 65534 is not allowed to subscribe"), std::string::npos) << sub->stderr_;
}

// Files that another user planted where the daemon writes.
struct PlantedPaths {
    TempHome dir, home;
    std::string secret = dir.path() + "/secret";
    PlantedPaths() {
        std::ofstream(secret) << "root only\n";
        ::chmod(secret.c_str(), 0600);
    }
    std::unique_ptr<ChildProcess> start(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--port", "0", "--home", home.path()});
        return std::make_unique<ChildProcess>(VAVEVARD_PATH, args, ChildProcess::environment_with({}));
    }
    // Whether `path` becomes a regular file within a few seconds.
    static bool becomes_file(const std::string &path) {
        for (int i = 0; i < 100; ++i) {
            struct stat st {};
            if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

// Links at the names a temporary file beside the port file would get if it
// were named after the daemon's process id, the next few hundred that the
// kernel hands out: an attacker's guess at a predictable name.
std::vector<std::string> plant_at_guessed_names(const std::string &port_file, const std::string &target) {
    std::vector<std::string> planted;
    std::string text = read_file("/proc/sys/kernel/ns_last_pid");
    if (text.empty() || text[0] < '0' || text[0] > '9') return planted;
    int last = std::stoi(text);
    for (int pid = last + 1; pid <= last + 300; ++pid)
        for (const std::string &name : {port_file + ".tmp." + std::to_string(pid), port_file + ".tmp"})
            if (::symlink(target.c_str(), name.c_str()) == 0) planted.push_back(name);
    return planted;
}

TEST(DaemonFiles, ALinkOrFifoPlantedAtThePortFileIsReplacedNeitherFollowedNorWaitedOn) {
    PlantedPaths p;
    const std::string linked = p.dir.path() + "/linked.port", fifo = p.dir.path() + "/fifo.port";
    ASSERT_EQ(::symlink(p.secret.c_str(), linked.c_str()), 0);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    std::vector<std::string> planted;
    for (const std::string &port_file : {linked, fifo}) {
        for (const std::string &name : plant_at_guessed_names(port_file, p.secret)) planted.push_back(name);
        auto d = p.start({"--port-file", port_file});
        ASSERT_TRUE(PlantedPaths::becomes_file(port_file)) << port_file << "\n" << d->stderr_;
        std::string text = read_file(port_file);
        EXPECT_TRUE(text.size() > 1 && text.back() == '\n' && std::stoi(text) > 0) << text;
        struct stat st {};
        ASSERT_EQ(::stat(port_file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        d->signal(SIGTERM);
        EXPECT_EQ(d->wait(10000), 0) << d->stderr_;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(port_file)));
    }
    EXPECT_EQ(read_file(p.secret), "root only\n");
    for (const std::string &name : planted) ::unlink(name.c_str());
    // Nothing is left behind: the temporary files were renamed.
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(p.dir.path())) left.push_back(entry.path().filename());
    EXPECT_EQ(left, (std::vector<std::string>{"secret"}));
}

TEST(DaemonFiles, ALogPathThatIsALinkOrAFifoIsRefusedAtOnceWithAClearError) {
    PlantedPaths p;
    const std::string linked = p.dir.path() + "/linked.log", fifo = p.dir.path() + "/fifo.log";
    ASSERT_EQ(::symlink(p.secret.c_str(), linked.c_str()), 0);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    auto d = p.start({"--log-file", linked});
    EXPECT_EQ(d->wait(5000), 2);
    EXPECT_NE(d->stderr_.find(linked + ": it is a symbolic link, and links are not followed"), std::string::npos)
        << d->stderr_;
    d = p.start({"--log-file", fifo});
    EXPECT_EQ(d->wait(5000), 2);
    EXPECT_NE(d->stderr_.find(fifo + ": it is not a regular file"), std::string::npos) << d->stderr_;
    EXPECT_EQ(read_file(p.secret), "root only\n");

    const std::string log = p.dir.path() + "/new.log";
    d = p.start({"--log-file", log, "--port-file", p.dir.path() + "/port"});
    ASSERT_TRUE(PlantedPaths::becomes_file(p.dir.path() + "/port")) << read_file(log);
    struct stat st {};
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    d->signal(SIGTERM);
    EXPECT_EQ(d->wait(10000), 0);
}

}  // namespace
}  // namespace vavevard
