// The tool as a process: its exit status for wrong usage and for a missing
// daemon, what it refuses to put on the wire, and how it ends when the daemon
// does not answer a subscription.
#include <gtest/gtest.h>

#include <signal.h>

#include "support/fake_daemon.h"
#include "support/programs.h"
#include "support/temp_home.h"

namespace vavevar::test {
namespace {

// A port on which nothing listens any more.
std::uint16_t port_of_a_gone_daemon() {
    FakeDaemon gone;
    return gone.port();
}

TEST(ToolInput, NoDaemonFailsAtRunTimeAndAnUnknownOptionIsWrongUsage) {
    std::uint16_t port = port_of_a_gone_daemon();
    TempHome home;
    // Options win over the environment.
    auto pub = run_tool({"pub", "A", "--port", std::to_string(port), "--home", home.path()}, 1, "/nonexistent");
    EXPECT_EQ(pub->wait(), 1);
    EXPECT_EQ(pub->stderr_.rfind("vavevar pub: cannot connect to the daemon on localhost:" + std::to_string(port) + ": ", 0),
              0u)
        << pub->stderr_;
    auto bad = run_tool({"pub", "A", "--no-such-option"}, port, home.path());
    EXPECT_EQ(bad->wait(), 2);
    EXPECT_NE(bad->stderr_.find("--no-such-option"), std::string::npos) << bad->stderr_;
}

// A text with a line break would end its header line early and smuggle the
// rest in as headers of its own.
TEST(ToolInput, LineBreaksInTextsForHeaderLinesAreUsageErrors) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"pub", "A\nB"}, "vavevar pub: TYPE holds a line break"},
        {{"pub", "A", "--component", "c\rd"}, "vavevar pub: --component holds a line break"},
        {{"sub", "ALARM/*\r\nSubscriberID: 9"}, "vavevar sub: EXPR holds a line break"},
        {{"sub", "--group", "g\n"}, "vavevar sub: --group holds a line break"},
        {{"stream", "send", "T\n", "/dev/null"}, "vavevar stream: TYPE holds a line break"},
        {{"stream", "recv", "\rX", "/tmp"}, "vavevar stream: EXPR holds a line break"},
    };
    for (const auto &[args, message] : cases) {
        auto child = run_tool(args, 1, "/tmp");
        EXPECT_EQ(child->wait(), 2) << args[1];
        EXPECT_EQ(child->stderr_.rfind(message + " (CR or LF), which would break the request it goes into\n", 0), 0u)
            << child->stderr_;
    }
    auto home = run_tool({"pub", "A", "--home", "/tmp/a\nb"}, 1, "/tmp");
    EXPECT_EQ(home->wait(), 2);
    EXPECT_EQ(home->stderr_.rfind("vavevar pub: --home holds a line break", 0), 0u) << home->stderr_;
}

TEST(ToolInput, PubLinesRefusesALineLongerThanABodyMayBe) {
    ::signal(SIGPIPE, SIG_IGN);  // the tool stops reading once it refuses
    FakeDaemon daemon;
    TempHome home;
    auto pub = run_tool({"pub", "LOG", "--lines"}, daemon.port(), home.path(), true);
    ASSERT_TRUE(pub->write_stdin("short line\n"));
    pub->write_stdin(std::string(16 * 1024 * 1024 + 2, 'x'));
    pub->close_stdin();
    EXPECT_EQ(pub->wait(20000), 1);
    EXPECT_EQ(pub->stderr_, "vavevar pub: line 2 of standard input is longer than 16777216 bytes, the most one "
                            "notification carries\n");
}

TEST(ToolInput, StreamRecvFailsWhenTheDaemonNeverAnswersTheSubscription) {
    FakeDaemon daemon;  // answers the handshake, never a subscribe
    TempHome home;
    auto recv = run_tool({"stream", "recv", "T", home.path()}, daemon.port(), home.path());
    EXPECT_EQ(recv->wait(30000), 1);
    EXPECT_EQ(recv->stderr_, "vavevar stream: the daemon did not answer the subscription within 10 s\n");
}

}  // namespace
}  // namespace vavevar::test
