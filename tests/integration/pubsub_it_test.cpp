// The library against the real daemon, with the tool as the other process.
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "harness.h"
#include "support/wire_client.h"
#include "support/threading.h"

namespace vavevar::test {
namespace {

using PubSubAcrossProcesses = IntegrationTest;

TEST_F(PubSubAcrossProcesses, EachSideGetsWhatItsFilterMatchesInOrderWithPropertiesAndBody) {
    auto sub = tool_subscriber({"ALARM/* and prop.severity >= 2", "--format", "json", "--count", "2", "--timeout", "15"});
    ASSERT_NE(sub, nullptr);
    lumo_subscriber *s = subscribe("TOOL/*");
    ASSERT_NE(s, nullptr);

    lumo_publisher *p = lumo_publisher_create("it-pub");
    ASSERT_NE(p, nullptr);
    publish(p, "ALARM/LOW", {{"severity", "1"}});
    publish(p, "NOTE/HIGH", {{"severity", "5"}});
    publish(p, "ALARM/DISK", {{"severity", "3"}, {"site", "north"}});
    publish(p, "ALARM/FAN", {{"severity", "2"}}, "fan stopped");
    lumo_publisher_close(p);
    ASSERT_EQ(sub->wait(kLongWaitMs), 0) << sub->stderr_;
    std::string first, second, more;
    ASSERT_TRUE(sub->read_stdout_line(first));
    ASSERT_TRUE(sub->read_stdout_line(second));
    EXPECT_FALSE(sub->read_stdout_line(more)) << more;
    EXPECT_NE(first.find("\"type\":\"ALARM/DISK\""), std::string::npos) << first;
    EXPECT_NE(first.find("{\"name\":\"site\",\"value\":\"north\"}"), std::string::npos) << first;
    EXPECT_NE(first.find("\"generatingComponent\":\"it-pub\""), std::string::npos) << first;
    EXPECT_NE(second.find("\"type\":\"ALARM/FAN\""), std::string::npos) << second;
    EXPECT_NE(second.find("\"body\":\"fan stopped\""), std::string::npos) << second;

    // The other way: a binary body and properties from the tool's process.
    std::string file = home_.path() + "/body.bin";
    std::string bytes("\x00\x01\xfe\xff payload", 12);
    std::ofstream(file, std::ios::binary) << bytes;
    auto pub = tool({"pub", "TOOL/FILE", "--prop", "a=1", "--prop", "b=x=y", "--body-file", file, "--count", "2",
                     "--component", "tool-pub"});
    ASSERT_EQ(pub->wait(kLongWaitMs), 0) << pub->stderr_;
    for (int i = 0; i < 2; ++i) {
        lumo_notification *n = lumo_subscriber_receive(s, 1, kLongWaitMs);
        ASSERT_NE(n, nullptr) << "notification " << i;
        EXPECT_STREQ(lumo_notification_type(n), "TOOL/FILE");
        EXPECT_STREQ(lumo_notification_generatingComponent(n), "tool-pub");
        EXPECT_STREQ(lumo_notification_getProperty(n, "a"), "1");
        EXPECT_STREQ(lumo_notification_getProperty(n, "b"), "x=y");
        std::int32_t length = 0;
        const char *body = lumo_notification_body(n, &length);
        EXPECT_EQ(std::string(body, static_cast<std::size_t>(length)), bytes);
        lumo_subscriber_relinquish(s, n);
    }
    EXPECT_EQ(lumo_subscriber_receive(s, 0, 0), nullptr);
    lumo_subscriber_close(s);
}

// The daemon's refusal reaches the application as the creation's status.
TEST_F(PubSubAcrossProcesses, AnInvalidFilterIsRefusedSayingWhatIsWrongAndWhere) {
    char *status = nullptr;
    EXPECT_EQ(lumo_subscriber_create_wtimeout("(ALARM/*", "it", nullptr, nullptr, &status, kLongWaitMs), nullptr);
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status, "invalid subscription: at character 9: expected ')' to close the '(' at character 1, "
                         "found the end of the text");
    std::free(status);
}

TEST_F(PubSubAcrossProcesses, FiftyClientsGetEveryEventWhileAGarbageSenderIsClosed) {
    constexpr int kClients = 50;
    std::vector<std::unique_ptr<ChildProcess>> subs;
    for (int i = 0; i < kClients; ++i) {
        subs.push_back(tool_subscriber({"CROWD/*", "--count", "2", "--timeout", "60", "--format", "json"}));
        ASSERT_NE(subs.back(), nullptr) << "client " << i;
    }
    RawClient operator_view(daemon_->port());
    ASSERT_TRUE(operator_view.handshake());
    EXPECT_EQ(operator_view.stat("clients"), std::to_string(kClients + 2));  // this process and the view too
    EXPECT_EQ(operator_view.stat("subscriptions"), std::to_string(kClients));

    lumo_publisher *p = lumo_publisher_create("it");
    publish(p, "CROWD/ONE");
    RawClient garbage(daemon_->port());
    ASSERT_TRUE(garbage.handshake());
    ASSERT_TRUE(garbage.send(std::string("\x16\x03\x01\x02\x00 not a request\r\n\r\n", 23)));
    EXPECT_TRUE(garbage.closed_by_daemon());
    publish(p, "CROWD/TWO");
    lumo_publisher_close(p);
    for (int i = 0; i < kClients; ++i) {
        ASSERT_EQ(subs[i]->wait(kLongWaitMs), 0) << "client " << i << ": " << subs[i]->stderr_;
        std::string first, second;
        ASSERT_TRUE(subs[i]->read_stdout_line(first));
        ASSERT_TRUE(subs[i]->read_stdout_line(second));
        EXPECT_NE(first.find("\"type\":\"CROWD/ONE\""), std::string::npos) << first;
        EXPECT_NE(second.find("\"type\":\"CROWD/TWO\""), std::string::npos) << second;
    }
    EXPECT_EQ(operator_view.stat("eventsOut"), std::to_string(2 * kClients));
    EXPECT_EQ(operator_view.stat("eventsDropped"), "0");
    EXPECT_EQ(operator_view.stat("malformedDisconnects"), "1");
}

using MembershipAcrossProcesses = IntegrationTest;

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST_F(MembershipAcrossProcesses, MembersSeeOthersJoinAndLeaveWhenTheirProcessEnds) {
    lumo_subscriber *watcher = subscribe("NOTHING/*", "workers", true);
    ASSERT_NE(watcher, nullptr);
    Received r = next(watcher);
    EXPECT_EQ(r.type, "IXO/SYSTEM/MEMBERSHIPLIST");
    EXPECT_EQ(r.cls, 1);
    EXPECT_TRUE(has(r.block, "  name=workers\n  members=1\n")) << r.block;

    // A member that takes its list and exits normally: it unsubscribes.
    auto polite = tool({"sub", "NOTHING/*", "--group", "workers", "--component", "polite", "--prop", "role=indexer",
                        "--count", "1"});
    r = next(watcher);
    EXPECT_EQ(r.type, "IXO/SYSTEM/MEMBERSHIPDELTA");
    EXPECT_EQ(r.cls, 2);
    EXPECT_TRUE(has(r.block, "members=2\nSeg:change\n  kind=join\n  reason=joined\n")) << r.block;
    EXPECT_TRUE(has(r.block, "component=polite")) << r.block;
    EXPECT_TRUE(has(r.block, "Seg:properties\n    role=indexer\n")) << r.block;
    ASSERT_EQ(polite->wait(kLongWaitMs), 0) << polite->stderr_;
    r = next(watcher);
    EXPECT_EQ(r.type, "IXO/SYSTEM/MEMBERSHIPDELTA");
    EXPECT_TRUE(has(r.block, "members=1\nSeg:change\n  kind=leave\n  reason=unsubscribed\n")) << r.block;
    EXPECT_TRUE(has(r.block, "component=polite")) << r.block;

    // A member whose process is killed: its connection drops.
    auto doomed = tool_subscriber({"NOTHING/*", "--group", "workers", "--component", "doomed"});
    ASSERT_NE(doomed, nullptr);
    r = next(watcher);
    EXPECT_TRUE(has(r.block, "kind=join")) << r.block;
    EXPECT_TRUE(has(r.block, "component=doomed")) << r.block;
    ASSERT_TRUE(doomed->signal(SIGKILL));
    EXPECT_EQ(doomed->wait(), 128 + SIGKILL);
    r = next(watcher);
    EXPECT_TRUE(has(r.block, "members=1\nSeg:change\n  kind=leave\n  reason=disconnected\n")) << r.block;
    EXPECT_TRUE(has(r.block, "component=doomed")) << r.block;
    EXPECT_EQ(lumo_subscriber_receive(watcher, 0, 0), nullptr);
    lumo_subscriber_close(watcher);
}

using DaemonRestart = IntegrationTest;

// Whether a connection to `port` still waits in CLOSE_WAIT: the daemon has
// closed its end and a client has not yet noticed.
bool close_pending(std::uint16_t port) {
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line, slot, local, remote, state;
        std::getline(in, line);  // the column names
        while (std::getline(in, line)) {
            std::istringstream(line) >> slot >> local >> remote >> state;
            if (state == "08" && std::stoul(remote.substr(remote.find(':') + 1), nullptr, 16) == port)
                return true;
        }
    }
    return false;
}

TEST_F(DaemonRestart, ClientsCarryOnLosingNothingPublishedMeanwhile) {
    lumo_subscriber *s = subscribe("RESTART/*");
    ASSERT_NE(s, nullptr);
    // A member learns of the lost link: its leave notification is delivered
    // once the library has given up the connection.
    lumo_subscriber *member = subscribe("NONE", "restart-watch");
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(next(member).type, "IXO/SYSTEM/MEMBERSHIPLIST");

    auto pub = tool({"pub", "RESTART/LINE", "--lines", "--verbose"}, true);
    std::string line;
    ASSERT_TRUE(pub->write_stdin("before\n"));
    ASSERT_TRUE(pub->read_stderr_line(line, kLongWaitMs)) << pub->stderr_;
    Received r = next(s);
    EXPECT_EQ(r.type + " " + r.body, "RESTART/LINE before");

    const std::uint16_t port = daemon_->port();
    ASSERT_EQ(daemon_->stop(), 0) << daemon_->log();
    r = next(member);
    EXPECT_EQ(r.type, "IXO/SYSTEM/LEAVEGROUP");
    EXPECT_EQ(r.cls, 7);

    // Published while no daemon runs, they wait in the publisher's library;
    // but only once it has seen the link go, or the first could be written
    // whole into the dead connection and lost with it.
    ASSERT_TRUE(wait_until([&] { return !close_pending(port); }));
    ASSERT_TRUE(pub->write_stdin("outage-1\noutage-2\n"));
    ASSERT_TRUE(pub->read_stderr_line(line, kLongWaitMs));
    ASSERT_TRUE(pub->read_stderr_line(line, kLongWaitMs));
    EXPECT_EQ(line, "vavevar pub: published 3: RESTART/LINE (8 bytes)");
    // The publisher is held until this process has subscribed again, or its
    // events could reach the new daemon before the subscription does.
    ASSERT_TRUE(pub->signal(SIGSTOP));

    daemon_ = start_daemon(port);
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
    EXPECT_EQ(next(s).type, "RESTART/MARK");

    ASSERT_TRUE(pub->signal(SIGCONT));
    ASSERT_TRUE(pub->write_stdin("after\n"));
    pub->close_stdin();
    for (const char *expected : {"outage-1", "outage-2", "after"}) EXPECT_EQ(next(s).body, expected);
    EXPECT_EQ(pub->wait(kLongWaitMs), 0) << pub->stderr_;
    lumo_subscriber_close(member);
    lumo_subscriber_close(s);
}

// A publisher that keeps going while the daemon is stopped and started again,
// and a subscriber that comes back only after the new daemon has taken in
// events: every event the new daemon took in reaches the subscriber (those
// that came before it had subscribed again are replayed to it), in order and
// none twice.
TEST_F(DaemonRestart, UnderLoadNothingTheNewDaemonAcceptedIsLost) {
    auto sub = tool_subscriber({"LOAD/*", "-f", "line"});
    ASSERT_NE(sub, nullptr);
    auto pub = tool({"pub", "LOAD/SEQ", "--lines"}, true);
    constexpr int kEvents = 4000;
    std::thread feeder([&] {
        for (int i = 1; i <= kEvents; ++i) {
            if (!pub->write_stdin(std::to_string(i) + "\n")) break;
            if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pub->close_stdin();
    });
    std::vector<int> got;
    auto take = [&] {
        std::string line;
        if (!sub->read_stdout_line(line, kLongWaitMs)) return false;
        got.push_back(std::atoi(line.c_str() + line.rfind(' ') + 1));
        return true;
    };
    while (got.size() < 200) ASSERT_TRUE(take()) << sub->stderr_;

    const std::uint16_t port = daemon_->port();
    ASSERT_TRUE(sub->signal(SIGSTOP));
    ASSERT_EQ(daemon_->stop(), 0) << daemon_->log();
    daemon_ = start_daemon(port);
    ASSERT_TRUE(daemon_->ok()) << daemon_->log();
    auto events_in = [&] {
        auto stats = tool({"stats", "-f", "json"});
        EXPECT_EQ(stats->wait(kLongWaitMs), 0) << stats->stderr_;
        const std::string key = "\"eventsIn\":";
        std::size_t at = stats->stdout_.find(key);
        return at == std::string::npos ? -1 : std::atoi(stats->stdout_.c_str() + at + key.size());
    };
    ASSERT_TRUE(wait_until([&] { return events_in() > 0; }));
    ASSERT_TRUE(sub->signal(SIGCONT));
    while (got.back() != kEvents && take()) {
    }
    feeder.join();
    EXPECT_EQ(pub->wait(kLongWaitMs), 0) << pub->stderr_;

    // The publisher's library hands the new daemon a run that ends with the
    // last event; every one of them is here, in order.
    const int accepted = events_in();
    ASSERT_GT(accepted, 0);
    ASSERT_GE(got.size(), static_cast<std::size_t>(accepted));
    std::vector<int> tail(got.end() - accepted, got.end());
    for (int i = 0; i < accepted; ++i) EXPECT_EQ(tail[static_cast<std::size_t>(i)], kEvents - accepted + 1 + i) << i;
    sub->signal(SIGTERM);
    EXPECT_EQ(sub->wait(kLongWaitMs), 128 + SIGTERM) << sub->stderr_;
}

}  // namespace
}  // namespace vavevar::test
