// Publish and subscribe across processes through the real daemon, with the
// tool as the other process.
#include <fstream>

#include "harness.h"

namespace vavevar::test {
namespace {

using PubSubAcrossProcesses = IntegrationTest;

TEST_F(PubSubAcrossProcesses, EachSideGetsWhatItsFilterMatchesInOrderWithPropertiesAndBody) {
    auto sub = start_tool_subscriber({"ALARM/* and prop.severity >= 2", "--format", "json",
                                      "--count", "2", "--timeout", "15"},
                                     daemon_->port(), home_.path());
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
    auto pub = run_tool({"pub", "TOOL/FILE", "--prop", "a=1", "--prop", "b=x=y", "--body-file", file,
                         "--count", "2", "--component", "tool-pub"},
                        daemon_->port(), home_.path());
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

TEST_F(PubSubAcrossProcesses, AnInvalidFilterIsRefusedWithTheDaemonsMessage) {
    char *status = nullptr;
    EXPECT_EQ(lumo_subscriber_create("ALARM/* and (", "it", nullptr, nullptr, &status), nullptr);
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status,
                 "invalid subscription: at character 14: expected an event type pattern, a test "
                 "or '(', found the end of the text");
    std::free(status);
    auto sub = run_tool({"sub", "prop.x >= high"}, daemon_->port(), home_.path());
    EXPECT_EQ(sub->wait(kLongWaitMs), 2);
    EXPECT_EQ(sub->stderr_.rfind("vavevar sub: the daemon refused the subscription: ", 0), 0u)
        << sub->stderr_;
}

TEST(ToolErrors, UsageAndAnAbsentDaemonHaveTheirOwnExitStatus) {
    TempHome home;
    auto no_args = run_tool({}, 1, home.path());
    EXPECT_EQ(no_args->wait(), 2);
    EXPECT_NE(no_args->stderr_.find("usage: vavevar COMMAND"), std::string::npos);
    // The port of a stopped daemon: nobody listens there.
    std::uint16_t port;
    {
        RealDaemon gone(home.path());
        ASSERT_TRUE(gone.ok());
        port = gone.port();
        ASSERT_EQ(gone.stop(), 0);
    }
    auto sub = run_tool({"sub"}, port, home.path());
    EXPECT_EQ(sub->wait(), 1);
    EXPECT_EQ(sub->stderr_, "vavevar sub: cannot connect to the daemon on localhost:" +
                                std::to_string(port) + ": Connection refused\n");
}

}  // namespace
}  // namespace vavevar::test
