// The monitoring endpoint of a running vavevard, as an operator and a metric
// scraper use it: curl fetches both answers, the parsers they are meant for
// read them, the numbers move with the traffic, and a monitoring client that
// misbehaves holds nothing for long.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "daemon_harness.h"
#include "options.h"
#include "reload.h"
#include "python_check.h"
#include "support/programs.h"
#include "support/temp_home.h"

namespace vavevard {
namespace {

using vavevar::test::ChildProcess;
using vavevar::test::DaemonProcess;
using vavevar::test::TempHome;

constexpr const char *kCurl = "/usr/bin/curl";

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// vavevard with the monitoring endpoint on a free port and a time-out of one
// second; httpPort is the one it logged.
struct MonitoredDaemon {
    TempHome home;
    DaemonProcess d{{"--http-port", "0", "--http-timeout", "1"}, 0,
                    ChildProcess::environment_with({"TAMRIX_CONFIG_HOME=", "TAMRIX_HOME=" + home.path()})};
    std::uint16_t httpPort = 0;

    MonitoredDaemon() {
        const std::string marker = "over HTTP on 127.0.0.1 port ";
        std::string line;
        while (httpPort == 0 && d.child.read_stderr_line(line))
            if (std::size_t at = line.find(marker); at != std::string::npos)
                httpPort = static_cast<std::uint16_t>(std::stoi(line.substr(at + marker.size())));
    }
    bool ok() const { return d.ok() && httpPort != 0; }
};

struct Answer {
    int exit = -1;
    std::string head, body;
};

// curl's view of one request: the head it received and the body.
Answer curl(std::uint16_t port, const std::string &path, std::vector<std::string> options = {}) {
    std::vector<std::string> args{"-sS", "-i", "--max-time", "10"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("http://127.0.0.1:" + std::to_string(port) + path);
    ChildProcess child(kCurl, args, ChildProcess::environment_with({}));
    Answer a;
    a.exit = child.wait(15000);
    std::size_t end = child.stdout_.find("\r\n\r\n");
    a.head = child.stdout_.substr(0, end);
    if (end != std::string::npos) a.body = child.stdout_.substr(end + 4);
    return a;
}

// A raw connection to the endpoint.
struct Raw {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    explicit Raw(std::uint16_t port) {
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) ::close(std::exchange(fd, -1));
    }
    ~Raw() {
        if (fd >= 0) ::close(fd);
    }
    // What arrives until the daemon closes (true) or `waitMs` passes (false).
    bool read_to_close(std::string &got, int waitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[4096];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return true;
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }
};

TEST(DaemonHttp, BothAnswersParseAndTheirNumbersMoveWithTheTraffic) {
    if (::access(kCurl, X_OK) != 0 || !test::python_available()) GTEST_SKIP() << "curl or python3 is missing";
    MonitoredDaemon m;
    ASSERT_TRUE(m.ok()) << m.d.log();

    Answer stats = curl(m.httpPort, "/stats");
    ASSERT_EQ(stats.exit, 0);
    EXPECT_TRUE(stats.head.starts_with("HTTP/1.1 200 OK\r\n")) << stats.head;
    EXPECT_TRUE(contains(stats.head, "\r\nContent-Type: application/json\r\n")) << stats.head;
    EXPECT_TRUE(contains(stats.head, "\r\nContent-Length: " + std::to_string(stats.body.size()) + "\r\n"));
    EXPECT_TRUE(contains(stats.head, "\r\nConnection: close"));
    auto before = test::json_leaves(stats.body);
    EXPECT_TRUE(before.count("eventsIn=0"));
    EXPECT_TRUE(before.count("http.connectionsAccepted=1"));

    test::RawClient subscriber(m.d.port()), publisher(m.d.port());
    ASSERT_TRUE(subscriber.handshake() && subscriber.subscribe(7, "ALARM/DISK") && publisher.handshake());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(publisher.send(test::outbound_event("ALARM/DISK").bytes()));
    test::Message event;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(subscriber.read_message(event));

    auto after = test::json_leaves(curl(m.httpPort, "/stats").body);
    for (std::string expected : {"eventsIn=3", "eventsOut=3", "clients=2", "subscriptions=1",
                                 "clientList.0.subscriptionList.0.subscriberId=7",
                                 "clientList.0.subscriptionList.0.filter=\"ALARM/DISK\"",
                                 "clientList.0.subscriptionList.0.delivered=3", "clientList.0.pid=42",
                                 "clientList.0.selfId=\"Pid=42; Home=/tmp/h\"", "http.responses.0.count=1"})
        EXPECT_TRUE(after.count(expected)) << expected;
    // The publisher's bytes: its handshake (as RawClient sends it) and three events.
    std::size_t published = std::string("POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: abc\r\n"
                                        "SelfId: Pid=42; Home=/tmp/h\r\n\r\n").size() +
                            3 * test::outbound_event("ALARM/DISK").bytes().size();
    EXPECT_TRUE(after.count("clientList.1.bytesIn=" + std::to_string(published))) << published;

    Answer metrics = curl(m.httpPort, "/metrics");
    ASSERT_EQ(metrics.exit, 0);
    EXPECT_TRUE(metrics.head.starts_with("HTTP/1.1 200 OK\r\n")) << metrics.head;
    EXPECT_TRUE(contains(metrics.head, "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
    auto samples = test::run_python(test::kMetricSamples, metrics.body);
    ASSERT_EQ(samples.status, 0) << samples.err << "\n" << metrics.body;
    for (std::string expected :
         {"vavevard_events_in_total{} 3.0 counter", "vavevard_events_out_total{} 3.0 counter",
          "vavevard_connections{} 2.0 gauge", "vavevard_subscriptions{} 1.0 gauge",
          "vavevard_http_responses_total{code=200} 2.0 counter"})
        EXPECT_TRUE(contains(samples.out, expected + "\n")) << expected << "\n" << samples.out;
    EXPECT_TRUE(contains(samples.out, "vavevard_build_info{version=")) << samples.out;

    // The protocol's own stats answer is as it was.
    EXPECT_EQ(publisher.stat("eventsIn"), "3");
}

TEST(DaemonHttp, OtherPathsMethodsAndHeadsAreRefusedWithTheirStatus) {
    if (::access(kCurl, X_OK) != 0) GTEST_SKIP() << "curl is missing";
    MonitoredDaemon m;
    ASSERT_TRUE(m.ok()) << m.d.log();
    Answer missing = curl(m.httpPort, "/nothing");
    EXPECT_TRUE(missing.head.starts_with("HTTP/1.1 404 Not Found\r\n")) << missing.head;
    Answer post = curl(m.httpPort, "/stats", {"-X", "POST", "--data", "x=1"});
    EXPECT_EQ(post.exit, 0);
    EXPECT_TRUE(post.head.starts_with("HTTP/1.1 405 Method Not Allowed\r\n")) << post.head;
    EXPECT_TRUE(contains(post.head, "\r\nAllow: GET, HEAD")) << post.head;
    Answer head = curl(m.httpPort, "/metrics", {"--head"});
    EXPECT_EQ(head.exit, 0);
    EXPECT_TRUE(head.head.starts_with("HTTP/1.1 200 OK\r\n")) << head.head;
    EXPECT_FALSE(contains(head.head, "Content-Length: 0\r\n")) << head.head;
    EXPECT_EQ(head.body, "");
    Answer old = curl(m.httpPort, "/stats", {"--http1.0"});
    EXPECT_TRUE(old.head.starts_with("HTTP/1.1 200 OK\r\n")) << old.head;

    // A body it was not asked for is read and dropped after the answer, so
    // the answer is not lost to a reset however large the body.
    Raw uploader(m.httpPort);
    std::string upload = "PUT /stats HTTP/1.1\r\nHost: a\r\nContent-Length: 16777216\r\n\r\n" +
                         std::string(16 * 1024 * 1024, 'b');
    ASSERT_TRUE(vavevar::test::send_all(uploader.fd, upload));
    ::shutdown(uploader.fd, SHUT_WR);
    std::string answer;
    EXPECT_TRUE(uploader.read_to_close(answer, 5000));
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 405 Method Not Allowed\r\n")) << answer;

    Raw bad(m.httpPort);
    ASSERT_TRUE(::send(bad.fd, "GET /stats HTTP/1.1\r\nHost a\r\n\r\n", 31, MSG_NOSIGNAL) == 31);
    std::string got;
    EXPECT_TRUE(bad.read_to_close(got, 5000));
    EXPECT_TRUE(got.starts_with("HTTP/1.1 400 Bad Request\r\n")) << got;
}

// A client that sends part of a head and stays silent is answered 408 and
// closed once its time is up; one that sends a head over the bound is
// answered 431 and closed at once; past the endpoint's bound on connections
// a new one is closed without an answer.
TEST(DaemonHttp, ConnectionsAreBoundedASilentClientTimesOutAndAHugeHeadIsRefused) {
    MonitoredDaemon m;
    ASSERT_TRUE(m.ok()) << m.d.log();

    {
        std::vector<std::unique_ptr<Raw>> held;
        for (std::size_t i = 0; i < HttpEndpoint::kMaxConnections; ++i)
            held.push_back(std::make_unique<Raw>(m.httpPort));
        // Those are in the backlog before it, so this is the one past the bound.
        Raw probe(m.httpPort);
        std::string got;
        EXPECT_TRUE(probe.read_to_close(got, 3000));
        EXPECT_EQ(got, "") << "closed at once, with no answer";
    }
    // Served again once the daemon has seen those go.
    bool served = false;
    for (int i = 0; i < 100 && !served; ++i) {
        Raw again(m.httpPort);
        std::string answer;
        ::send(again.fd, "GET /metrics HTTP/1.0\r\n\r\n", 25, MSG_NOSIGNAL);
        served = again.read_to_close(answer, 3000) && answer.starts_with("HTTP/1.1 200 OK\r\n");
        if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(served);

    Raw silent(m.httpPort);
    ASSERT_EQ(::send(silent.fd, "GET /stats HTTP/1.1\r\nHo", 23, MSG_NOSIGNAL), 23);
    auto start = std::chrono::steady_clock::now();
    std::string got;
    EXPECT_TRUE(silent.read_to_close(got, 8000));
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(waited.count(), 900) << "ms: closed before its time";
    EXPECT_LT(waited.count(), 6000) << "ms";
    EXPECT_TRUE(got.starts_with("HTTP/1.1 408 Request Timeout\r\n")) << got;

    Raw huge(m.httpPort);
    std::string head = "GET /stats HTTP/1.1\r\nHost: a\r\nX-Filler: " + std::string(20000, 'y');
    ASSERT_EQ(::send(huge.fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
    got.clear();
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(huge.read_to_close(got, 5000));
    EXPECT_TRUE(got.starts_with("HTTP/1.1 431 Request Header Fields Too Large\r\n")) << got;
    EXPECT_TRUE(contains(got, "\r\nConnection: close\r\n")) << got;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
              900) << "ms: the close waited for the time-out";

    test::RawClient stats(m.d.port());
    EXPECT_EQ(stats.stat("connectionsRefused"), "0") << "the protocol's bound is not touched";
    Raw ask(m.httpPort);
    std::string request = "GET /stats HTTP/1.1\r\nHost: a\r\n\r\n";
    ASSERT_EQ(::send(ask.fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    got.clear();
    ASSERT_TRUE(ask.read_to_close(got, 5000));
    std::string body = got.substr(got.find("\r\n\r\n") + 4);
    if (test::python_available()) {
        auto leaves = test::json_leaves(body);
        EXPECT_FALSE(leaves.count("http.connectionsRefused=0")) << body;
        EXPECT_TRUE(leaves.count("http.responses.6.status=431") && leaves.count("http.responses.6.count=1")) << body;
        EXPECT_FALSE(leaves.count("http.timeouts=0")) << body;
        EXPECT_FALSE(leaves.count("http.responses.5.count=0")) << body;  // 408
    }
}

TEST(DaemonHttp, TheEndpointIsOffUnlessAPortIsGivenAndItsSettingsComeFromTheFileOrTheArguments) {
    TempHome home;
    const GetEnv none = [](const char *) -> const char * { return nullptr; };
    ParseResult r = parse_options({"--home", home.path()}, none, "");
    ASSERT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_FALSE(r.options.httpPort.has_value());
    EXPECT_EQ(r.options.httpAddress, "127.0.0.1");
    EXPECT_EQ(r.options.httpTimeoutMs, 10000);

    const std::string file = home.path() + "/vavevard.conf";
    std::ofstream(file) << "http-port = 9187\nhttp-address = ::1\nhttp-timeout = 3\n";
    ParseResult fromFile = parse_options({"--home", home.path(), "--config", file}, none, "");
    ASSERT_EQ(fromFile.action, ParseResult::run) << fromFile.message;
    EXPECT_EQ(fromFile.options.httpPort.value_or(1), 9187);
    EXPECT_EQ(fromFile.options.httpAddress, "::1");
    EXPECT_EQ(fromFile.options.httpTimeoutMs, 3000);
    ParseResult overridden = parse_options({"--home", home.path(), "--config", file, "--http-port=0"}, none, "");
    EXPECT_EQ(overridden.options.httpPort.value_or(1), 0);
    std::vector<std::string> changed = needing_restart(r.options, fromFile.options);
    for (const char *key : {"http-port", "http-address", "http-timeout"})
        EXPECT_NE(std::find(changed.begin(), changed.end(), key), changed.end()) << key;

    EXPECT_EQ(parse_options({"--http-port", "65536"}, none, "").message, "--http-port: invalid value '65536' (0 to 65535)");
    EXPECT_EQ(parse_options({"--http-address", "localhost"}, none, "").message,
              "--http-address: invalid value 'localhost' (a numeric IPv4 or IPv6 address)");
    EXPECT_EQ(parse_options({"--http-timeout", "0"}, none, "").message,
              "--http-timeout: invalid value '0' (1 to 3600 seconds)");
}

TEST(DaemonHttp, AnHttpPortInUseStopsTheStartSayingSo) {
    struct Holder {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ~Holder() { ::close(fd); }
    } holder;
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::bind(holder.fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder.fd, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(holder.fd, reinterpret_cast<sockaddr *>(&a), &len);
    const std::string port = std::to_string(ntohs(a.sin_port));
    TempHome home;
    DaemonProcess d({"--http-port", port, "--home", home.path()});
    EXPECT_FALSE(d.ok());
    EXPECT_EQ(d.child.wait(), 1);
    EXPECT_TRUE(contains(d.log(), "cannot serve HTTP on 127.0.0.1 port " + port + ": the port is already in use"))
        << d.log();
}

}  // namespace
}  // namespace vavevard
