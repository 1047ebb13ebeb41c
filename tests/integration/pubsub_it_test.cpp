// Publish and subscribe across processes through the real daemon: the tool
// as the other process, filters that pass some events and not others, and a
// filter the daemon refuses.
#include <fstream>

#include "harness.h"

namespace vavevar::test {
namespace {

using PubSubAcrossProcesses = IntegrationTest;

TEST_F(PubSubAcrossProcesses, AnotherProcessReceivesWhatItsFilterMatchesInOrder) {
    auto sub = start_tool_subscriber({"ALARM/* and prop.severity >= 2", "--format", "json",
                                      "--count", "2", "--timeout", "15"},
                                     daemon_->port(), home_.path());
    ASSERT_NE(sub, nullptr);

    lumo_publisher *p = lumo_publisher_create("it-pub");
    ASSERT_NE(p, nullptr);
    lumo_bb *block = lumo_bb_create();
    lumo_bb_seg_addelement(lumo_bb_seg_addsegment(lumo_bb_addsegment(block, "alarm"), "where"),
                           "valve", "7");
    std::uint32_t length = 0;
    void *body = lumo_bb_block2body(block, &length);
    lumo_bb_destroy(block);
    publish(p, "ALARM/LOW", {{"severity", "1"}});
    publish(p, "NOTE/HIGH", {{"severity", "5"}});
    publish(p, "ALARM/DISK", {{"severity", "3"}, {"site", "north"}},
            std::string(static_cast<char *>(body), length));
    publish(p, "ALARM/FAN", {{"severity", "2"}}, "fan stopped");
    std::free(body);
    lumo_publisher_close(p);

    ASSERT_EQ(sub->wait(kLongWaitMs), 0) << sub->stderr_;
    std::string first, second, more;
    ASSERT_TRUE(sub->read_stdout_line(first));
    ASSERT_TRUE(sub->read_stdout_line(second));
    EXPECT_FALSE(sub->read_stdout_line(more)) << more;
    EXPECT_NE(first.find("\"type\":\"ALARM/DISK\""), std::string::npos) << first;
    EXPECT_NE(first.find("{\"name\":\"site\",\"value\":\"north\"}"), std::string::npos) << first;
    EXPECT_NE(first.find("\"bodyBlock\":[{\"name\":\"alarm\",\"elements\":[],\"segments\":"
                         "[{\"name\":\"where\",\"elements\":[{\"name\":\"valve\",\"value\":\"7\"}]"),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("\"generatingComponent\":\"it-pub\""), std::string::npos) << first;
    EXPECT_NE(second.find("\"type\":\"ALARM/FAN\""), std::string::npos) << second;
    EXPECT_NE(second.find("\"body\":\"fan stopped\""), std::string::npos) << second;
}

TEST_F(PubSubAcrossProcesses, NotificationsFromTheToolArriveWithPropertiesAndBody) {
    lumo_subscriber *s = subscribe("TOOL/*");
    ASSERT_NE(s, nullptr);
    std::string file = home_.path() + "/body.bin";
    std::string bytes("\x00\x01\xfe\xff payload", 12);
    std::ofstream(file, std::ios::binary) << bytes;

    auto pub = run_tool({"pub", "TOOL/FILE", "--prop", "a=1", "--prop", "b=x=y", "--body-file", file,
                         "--count", "3", "--component", "tool-pub"},
                        daemon_->port(), home_.path());
    ASSERT_EQ(pub->wait(kLongWaitMs), 0) << pub->stderr_;
    EXPECT_EQ(pub->stdout_, "");

    for (int i = 0; i < 3; ++i) {
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

    auto blocks = run_tool({"pub", "TOOL/BB", "--bb", "job.name=backup", "--bb", "job.step.done=3"},
                           daemon_->port(), home_.path());
    ASSERT_EQ(blocks->wait(kLongWaitMs), 0) << blocks->stderr_;
    std::string text;
    EXPECT_EQ(next(s, &text), "TOOL/BB");
    EXPECT_EQ(text, "Seg:job\n  name=backup\n  Seg:step\n    done=3\n");
    lumo_subscriber_close(s);
}

TEST_F(PubSubAcrossProcesses, AnInvalidFilterIsRefusedWithTheDaemonsMessage) {
    char *status = nullptr;
    lumo_subscriber *s = lumo_subscriber_create("ALARM/* and (", "it", nullptr, nullptr, &status);
    EXPECT_EQ(s, nullptr);
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status,
                 "invalid subscription: at character 14: expected an event type pattern, a test "
                 "or '(', found the end of the text");
    std::free(status);

    auto sub = run_tool({"sub", "prop.x >= high"}, daemon_->port(), home_.path());
    EXPECT_EQ(sub->wait(kLongWaitMs), 2);
    EXPECT_EQ(sub->stderr_,
              "vavevar sub: the daemon refused the subscription: invalid subscription: at "
              "character 11: expected a number after '>=', found 'high'\n"
              "try 'vavevar sub --help'\n");
    EXPECT_EQ(daemon_stats(daemon_->port(), home_.path())["subscribesRefused"], "2");
}

TEST(ToolErrors, UsageAndMissingDaemonAreReportedWithTheirExitStatus) {
    TempHome home;
    auto no_args = std::make_unique<ChildProcess>(VAVEVAR_TOOL_PATH, std::vector<std::string>{},
                                                  ChildProcess::environment_with({}));
    EXPECT_EQ(no_args->wait(), 2);
    EXPECT_NE(no_args->stderr_.find("usage: vavevar COMMAND"), std::string::npos);

    auto no_port = std::make_unique<ChildProcess>(
        VAVEVAR_TOOL_PATH, std::vector<std::string>{"pub", "T"},
        ChildProcess::environment_with({"TAMRIX_LUMO_PROXY_PORT=", "TAMRIX_CONFIG_HOME=" + home.path()}));
    EXPECT_EQ(no_port->wait(), 2);
    EXPECT_NE(no_port->stderr_.find("no port: give --port or set TAMRIX_LUMO_PROXY_PORT"),
              std::string::npos);

    // A port nobody listens on: the daemon of a stopped test.
    std::uint16_t port;
    {
        RealDaemon gone(home.path());
        ASSERT_TRUE(gone.ok());
        port = gone.port();
        ASSERT_EQ(gone.stop(), 0);
    }
    for (const char *command : {"pub", "sub", "stats"}) {
        std::vector<std::string> args{command};
        if (std::string(command) == "pub") args.push_back("T");
        auto child = run_tool(args, port, home.path());
        EXPECT_EQ(child->wait(), 1) << command;
        EXPECT_EQ(child->stderr_, std::string("vavevar ") + command +
                                      ": cannot connect to the daemon on localhost:" +
                                      std::to_string(port) + ": Connection refused\n");
    }

    auto bad = run_tool({"sub", "--count", "0"}, port, home.path());
    EXPECT_EQ(bad->wait(), 2);
    EXPECT_EQ(bad->stderr_, "vavevar sub: --count: invalid count '0' (1 to 1000000000)\n"
                            "try 'vavevar sub --help'\n");
    auto conflict = run_tool({"pub", "T", "--body", "x", "--bb", "s.e=v"}, port, home.path());
    EXPECT_EQ(conflict->wait(), 2);
    EXPECT_NE(conflict->stderr_.find("give at most one of --body, --body-file, --bb and --lines"),
              std::string::npos);
}

}  // namespace
}  // namespace vavevar::test
