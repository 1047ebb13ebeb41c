// The daemon going away and coming back while clients run, many clients at
// once, and a client that breaks the protocol.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "harness.h"

namespace vavevar::test {
namespace {

// The body of the next notification, "" when none comes in time.
std::string next_body(lumo_subscriber *s) {
    lumo_notification *n = lumo_subscriber_receive(s, 1, kLongWaitMs);
    if (n == nullptr) return "";
    std::int32_t length = 0;
    const char *body = lumo_notification_body(n, &length);
    std::string text = body != nullptr ? std::string(body, static_cast<std::size_t>(length)) : "";
    lumo_subscriber_relinquish(s, n);
    return text;
}

using DaemonRestart = IntegrationTest;

TEST_F(DaemonRestart, ClientsReconnectResubscribeAndGetWhatWasPublishedMeanwhile) {
    lumo_subscriber *s = subscribe("RESTART/*");
    ASSERT_NE(s, nullptr);
    // A member learns of the lost link: its leave notification is delivered
    // once the library has given up the connection.
    lumo_subscriber *member = subscribe("NONE", "restart-watch");
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(next(member), "IXO/SYSTEM/MEMBERSHIPLIST");

    auto pub = run_tool({"pub", "RESTART/LINE", "--lines", "--verbose"}, daemon_->port(),
                        home_.path(), true);
    std::string line;
    ASSERT_TRUE(pub->write_stdin("before\n"));
    ASSERT_TRUE(pub->read_stderr_line(line, kLongWaitMs)) << pub->stderr_;
    EXPECT_EQ(next_body(s), "before");

    const std::uint16_t port = daemon_->port();
    ASSERT_EQ(daemon_->stop(), 0) << daemon_->log();
    lumo_notification *leave = lumo_subscriber_receive(member, 1, kLongWaitMs);
    ASSERT_NE(leave, nullptr);
    EXPECT_EQ(lumo_notification_getClass(leave), 7);
    lumo_subscriber_relinquish(member, leave);

    // Published while no daemon runs: they wait in the publisher's library.
    ASSERT_TRUE(pub->write_stdin("outage-1\noutage-2\n"));
    ASSERT_TRUE(pub->read_stderr_line(line, kLongWaitMs));
    ASSERT_TRUE(pub->read_stderr_line(line, kLongWaitMs));
    EXPECT_EQ(line, "vavevar pub: published 3: RESTART/LINE (8 bytes)");
    // The publisher is held until this process has subscribed again, or its
    // events could reach the new daemon before the subscription does.
    ASSERT_TRUE(pub->signal(SIGSTOP));

    daemon_ = std::make_unique<RealDaemon>(home_.path(), port);
    ASSERT_TRUE(daemon_->ok()) << daemon_->log();
    ASSERT_EQ(daemon_->port(), port);
    char *instance = nullptr;
    lumo_get_instancename(&instance);  // waits for the new connection
    ASSERT_NE(instance, nullptr);
    std::free(instance);
    // Queued behind the re-subscription on this process's link.
    lumo_publisher *marker = lumo_publisher_create("it");
    publish(marker, "RESTART/MARK", {}, "marker");
    lumo_publisher_close(marker);
    EXPECT_EQ(next_body(s), "marker");

    ASSERT_TRUE(pub->signal(SIGCONT));
    EXPECT_EQ(next_body(s), "outage-1");
    EXPECT_EQ(next_body(s), "outage-2");
    ASSERT_TRUE(pub->write_stdin("after\n"));
    pub->close_stdin();
    EXPECT_EQ(next_body(s), "after");
    EXPECT_EQ(pub->wait(kLongWaitMs), 0) << pub->stderr_;
    lumo_subscriber_close(member);
    lumo_subscriber_close(s);
}

using ManyClients = IntegrationTest;

TEST_F(ManyClients, FiftySubscriberProcessesAtOnceEachGetEveryEvent) {
    constexpr int kClients = 50;
    std::vector<std::unique_ptr<ChildProcess>> subs;
    for (int i = 0; i < kClients; ++i) {
        subs.push_back(start_tool_subscriber({"CROWD/*", "--count", "2", "--timeout", "30",
                                              "--format", "json", "--component",
                                              "crowd-" + std::to_string(i)},
                                             daemon_->port(), home_.path()));
        ASSERT_NE(subs.back(), nullptr) << "client " << i;
    }
    auto stats = daemon_stats(daemon_->port(), home_.path());
    EXPECT_EQ(stats["clients"], std::to_string(kClients + 1));  // this process too
    EXPECT_EQ(stats["subscriptions"], std::to_string(kClients));

    lumo_publisher *p = lumo_publisher_create("it");
    publish(p, "CROWD/ONE", {}, "1");
    publish(p, "CROWD/TWO", {}, "2");
    lumo_publisher_close(p);
    for (int i = 0; i < kClients; ++i) {
        ASSERT_EQ(subs[i]->wait(kLongWaitMs), 0) << "client " << i << ": " << subs[i]->stderr_;
        std::string first, second;
        ASSERT_TRUE(subs[i]->read_stdout_line(first));
        ASSERT_TRUE(subs[i]->read_stdout_line(second));
        EXPECT_NE(first.find("\"type\":\"CROWD/ONE\""), std::string::npos) << first;
        EXPECT_NE(second.find("\"type\":\"CROWD/TWO\""), std::string::npos) << second;
    }
    stats = daemon_stats(daemon_->port(), home_.path());
    EXPECT_EQ(stats["eventsOut"], std::to_string(2 * kClients));
    EXPECT_EQ(stats["eventsDropped"], "0");
}

// A plain loopback connection that speaks whatever the test writes.
class RawConnection {
public:
    explicit RawConnection(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~RawConnection() { ::close(fd_); }
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    bool send(const std::string &bytes) const {
        return connected_ &&
               ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // True when the peer closes within `waitMs`, whatever it sent first.
    bool closed_by_peer(int waitMs) const {
        char buffer[4096];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, waitMs) <= 0) return false;
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return true;
        }
    }

private:
    int fd_;
    bool connected_ = false;
};

using BadClient = IntegrationTest;

TEST_F(BadClient, AClientSendingGarbageIsDisconnectedAndTheOthersCarryOn) {
    auto sub = start_tool_subscriber({"GOOD/*", "--count", "2", "--timeout", "30", "--format", "json"},
                                     daemon_->port(), home_.path());
    ASSERT_NE(sub, nullptr);
    lumo_publisher *p = lumo_publisher_create("it");
    publish(p, "GOOD/BEFORE");

    RawConnection garbage(daemon_->port());
    ASSERT_TRUE(garbage.send("POST /connect HTTP/1.1\r\nVersion: 4\r\nFormFactor: x\r\nSelfId: Pid=1\r\n\r\n"));
    static const char kGarbage[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 not a request\r\n\r\n";
    ASSERT_TRUE(garbage.send(std::string(kGarbage, sizeof kGarbage - 1)));
    EXPECT_TRUE(garbage.closed_by_peer(kLongWaitMs));

    publish(p, "GOOD/AFTER");
    lumo_publisher_close(p);
    ASSERT_EQ(sub->wait(kLongWaitMs), 0) << sub->stderr_;
    EXPECT_NE(sub->stdout_.find("\"type\":\"GOOD/BEFORE\""), std::string::npos) << sub->stdout_;
    EXPECT_NE(sub->stdout_.find("\"type\":\"GOOD/AFTER\""), std::string::npos) << sub->stdout_;
    EXPECT_EQ(daemon_stats(daemon_->port(), home_.path())["malformedDisconnects"], "1");
    ASSERT_EQ(daemon_->stop(), 0);
    EXPECT_NE(daemon_->log().find("malformed request, closing"), std::string::npos) << daemon_->log();
}

}  // namespace
}  // namespace vavevar::test
