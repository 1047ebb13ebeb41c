// The daemon going away and coming back while clients run.
#include "harness.h"

namespace vavevar::test {
namespace {

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
    std::string line, body;
    ASSERT_TRUE(pub->write_stdin("before\n"));
    ASSERT_TRUE(pub->read_stderr_line(line, kLongWaitMs)) << pub->stderr_;
    EXPECT_EQ(next(s, nullptr, nullptr, &body), "RESTART/LINE");
    EXPECT_EQ(body, "before");

    const std::uint16_t port = daemon_->port();
    ASSERT_EQ(daemon_->stop(), 0) << daemon_->log();
    std::int32_t cls = -1;
    EXPECT_EQ(next(member, nullptr, &cls), "IXO/SYSTEM/LEAVEGROUP");
    EXPECT_EQ(cls, 7);

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
    EXPECT_EQ(next(s), "RESTART/MARK");

    ASSERT_TRUE(pub->signal(SIGCONT));
    ASSERT_TRUE(pub->write_stdin("after\n"));
    pub->close_stdin();
    for (const char *expected : {"outage-1", "outage-2", "after"}) {
        next(s, nullptr, nullptr, &body);
        EXPECT_EQ(body, expected);
    }
    EXPECT_EQ(pub->wait(kLongWaitMs), 0) << pub->stderr_;
    lumo_subscriber_close(member);
    lumo_subscriber_close(s);
}

}  // namespace
}  // namespace vavevar::test
