// The tool as a process: its exit status for wrong usage and for a missing
// daemon, what it refuses to put on the wire, how it ends when the daemon
// does not answer, on signals and when its reader goes away, and what it
// prints for notifications routed by a real daemon.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "support/fake_daemon.h"
#include "support/loopback_listener.h"
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

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The "N.N s" a message reports after `prefix`, or -1.
double reported_seconds(const std::string &message, const std::string &prefix) {
    std::size_t at = message.find(prefix);
    if (at == std::string::npos) return -1;
    double value = -1;
    return std::sscanf(message.c_str() + at + prefix.size(), "%lf s", &value) == 1 ? value : -1;
}

TEST(ToolWaits, APortThatIsNoDaemonFailsWithThePortAndTheTimeReallyWaited) {
    // The kernel accepts from the backlog; nobody ever speaks: not a daemon.
    LoopbackListener listener;
    ASSERT_NE(listener.port(), 0);
    TempHome home;
    const std::string where = "the daemon on localhost:" + std::to_string(listener.port());

    auto start = std::chrono::steady_clock::now();
    auto pub = run_tool({"pub", "A"}, listener.port(), home.path());
    EXPECT_EQ(pub->wait(30000), 1);
    double took = seconds_since(start);
    double said = reported_seconds(pub->stderr_, "the handshake did not complete in ");
    EXPECT_NE(pub->stderr_.find(where), std::string::npos) << pub->stderr_;
    // What it says is what it took, give or take the start and the exit.
    EXPECT_GE(said, 9.5) << pub->stderr_;
    EXPECT_LE(took - said, 2.0) << pub->stderr_;

    // --timeout bounds the connecting as well as the waiting for events.
    start = std::chrono::steady_clock::now();
    auto sub = run_tool({"sub", "-c", "1", "-t", "1.5"}, listener.port(), home.path());
    EXPECT_EQ(sub->wait(20000), 1);
    took = seconds_since(start);
    said = reported_seconds(sub->stderr_, "after ");
    EXPECT_NE(sub->stderr_.find("no answer to the subscription from " + where), std::string::npos) << sub->stderr_;
    EXPECT_GE(said, 1.5) << sub->stderr_;
    EXPECT_LT(took, 5.0) << sub->stderr_;
}

#ifdef VAVEVARD_PATH
// A real daemon on a free port with its own home, and the tool run against it.
struct LiveDaemon {
    TempHome home;
    DaemonProcess daemon{{}, 0, {"TAMRIX_CONFIG_HOME=" + home.path(), "TAMRIX_HOME="}};

    std::unique_ptr<ChildProcess> tool(const std::vector<std::string> &args, bool pipe_stdin = false) {
        return run_tool(args, daemon.port(), home.path(), pipe_stdin);
    }
    // A `sub` that has been accepted (it says so with -v).
    std::unique_ptr<ChildProcess> subscribed(std::vector<std::string> args) {
        args.insert(args.begin(), {"sub", "-v"});
        auto sub = tool(args);
        std::string line;
        EXPECT_TRUE(sub->read_stderr_line(line, 15000)) << sub->stderr_;
        EXPECT_NE(line.find("subscribed as"), std::string::npos) << line;
        return sub;
    }
    void publish(const std::vector<std::string> &args) {
        auto pub = tool(args);
        EXPECT_EQ(pub->wait(20000), 0) << pub->stderr_;
    }
};

// The daemon stopped and started again on its port: a verbose sub says the
// link went and came back, and a notification published once it is back
// arrives (if it beats the resubscription, the new daemon replays it).
TEST(ToolOutput, VerboseSubSaysWhenTheLinkGoesAndComesBack) {
    TempHome home;
    const std::vector<std::string> env{"TAMRIX_CONFIG_HOME=" + home.path(), "TAMRIX_HOME="};
    auto first = std::make_unique<DaemonProcess>(std::vector<std::string>{}, 0, env);
    ASSERT_TRUE(first->ok()) << first->log();
    const std::uint16_t port = first->port();
    const std::string where = "the daemon on localhost:" + std::to_string(port);
    auto sub = run_tool({"sub", "-v", "-f", "line", "-c", "1", "-t", "60"}, port, home.path());
    std::string line;
    ASSERT_TRUE(sub->read_stderr_line(line, 15000)) << sub->stderr_;
    EXPECT_NE(line.find("subscribed as"), std::string::npos) << line;

    EXPECT_EQ(first->stop(), 0);
    ASSERT_TRUE(sub->read_stderr_line(line, 15000)) << sub->stderr_;
    EXPECT_EQ(line, "vavevar sub: lost the link to " + where + "; reconnecting");
    DaemonProcess second({}, port, env);
    ASSERT_TRUE(second.ok()) << second.log();
    ASSERT_TRUE(sub->read_stderr_line(line, 15000)) << sub->stderr_;
    EXPECT_EQ(line, "vavevar sub: the link to " + where + " is back");

    auto pub = run_tool({"pub", "AFTER"}, port, home.path());
    EXPECT_EQ(pub->wait(20000), 0) << pub->stderr_;
    EXPECT_EQ(sub->wait(20000), 0) << sub->stderr_;
    EXPECT_EQ(sub->stdout_, "AFTER [vavevard.publisherUid=" + std::to_string(::geteuid()) + "]\n");
}

// A sub stopped under a flood: the daemon skips what it cannot hold for it,
// and once the sub runs again it says how many it lost, as a JSON line among
// the notifications; what it printed and what it lost add up to the flood.
TEST(ToolOutput, SubReportsWhatTheDaemonSkippedWhileItWasStopped) {
    TempHome home;
    DaemonProcess daemon({"--max-pending-mib", "1"}, 0, {"TAMRIX_CONFIG_HOME=" + home.path(), "TAMRIX_HOME="});
    ASSERT_TRUE(daemon.ok()) << daemon.log();
    const std::string body = home.path() + "/body";
    std::FILE *f = std::fopen(body.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(std::string(2000, 'x').c_str(), f);
    std::fclose(f);
    auto sub = run_tool({"sub", "-v", "-f", "json", "-t", "8", "FLOOD"}, daemon.port(), home.path());
    std::string line;
    ASSERT_TRUE(sub->read_stderr_line(line, 15000)) << sub->stderr_;
    ASSERT_TRUE(sub->signal(SIGSTOP));
    constexpr int kFlood = 10000;
    auto pub = run_tool({"pub", "FLOOD", "--body-file", body, "-c", std::to_string(kFlood)}, daemon.port(),
                        home.path());
    EXPECT_EQ(pub->wait(30000), 0) << pub->stderr_;
    ASSERT_TRUE(sub->signal(SIGCONT));
    EXPECT_EQ(sub->wait(30000), 0) << sub->stderr_;

    std::uint64_t printed = 0, skipped = 0, dropped = 0, gaps = 0;
    std::size_t at = 0;
    while (at < sub->stdout_.size()) {
        std::size_t end = sub->stdout_.find('\n', at);
        std::string one = sub->stdout_.substr(at, end - at);
        at = end == std::string::npos ? sub->stdout_.size() : end + 1;
        unsigned long long d = 0, h = 0;
        if (std::sscanf(one.c_str(), "{\"gap\":{\"skippedByDaemon\":%llu,\"droppedHere\":%llu}}", &d, &h) == 2) {
            ++gaps;
            skipped += d;
            dropped += h;
        } else {
            ++printed;
        }
    }
    EXPECT_GE(gaps, 1u);
    EXPECT_GT(skipped, 0u);
    EXPECT_EQ(printed + skipped + dropped, static_cast<std::uint64_t>(kFlood));
}

// Every byte that is not UTF-8 would make the JSON invalid; the object keeps
// the bytes in base64 beside the text.
TEST(ToolOutput, JsonStaysValidForTypesPropertiesAndBodiesThatAreNotUtf8) {
    LiveDaemon live;
    ASSERT_TRUE(live.daemon.ok()) << live.daemon.log();
    auto sub = live.subscribed({"-f", "json", "-c", "2", "-t", "20"});
    live.publish({"pub", "BAD/\xff\xfe", "-P", "n\xc3\x28=v\x01\xff", "-P", "tab=a\tb", "-b", "x\xffy"});
    live.publish({"pub", "OK/\xc3\xa9", "--bb", "s.e=\xff"});
    ASSERT_EQ(sub->wait(20000), 0) << sub->stderr_;

    ChildProcess python("/usr/bin/python3",
                        {"-c",
                         "import json,sys\n"
                         "for line in sys.stdin.buffer:\n"
                         "    o = json.loads(line.decode('utf-8', 'strict'))\n"
                         "    print(ascii((o['type'], o.get('typeBase64'),\n"
                         "          [(p['name'], p.get('nameBase64'), p['value'], p.get('valueBase64'))\n"
                         "           for p in o['properties']], o.get('bodyBase64'), o.get('bodyBlock'))))\n"},
                        ChildProcess::environment_with({}), true);
    ASSERT_TRUE(python.write_stdin(sub->stdout_));
    python.close_stdin();
    ASSERT_EQ(python.wait(10000), 0) << sub->stdout_ << python.stderr_;
    // The daemon adds the publisher's verified uid to every event.
    const std::string uid = "('vavevard.publisherUid', None, '" + std::to_string(::geteuid()) + "', None)";
    EXPECT_EQ(python.stdout_,
              "('BAD/\\ufffd\\ufffd', 'QkFEL//+', [" + uid + ", ('tab', None, 'a\\tb', None), ('n\\ufffd(', 'bsMo', "
              "'v\\x01\\ufffd', 'dgH/')], 'eP95', None)\n"
              "('OK/\\xe9', None, [" + uid + "], None, [{'name': 's', 'elements': [{'name': 'e', 'valueBase64': '/w=='}], "
              "'segments': []}])\n");
}

TEST(ToolOutput, LineFormatPutsTypePropertiesAndBodyOnOneLine) {
    LiveDaemon live;
    ASSERT_TRUE(live.daemon.ok()) << live.daemon.log();
    auto sub = live.subscribed({"--format=line", "-c", "4", "-t", "20"});
    live.publish({"pub", "ALARM/DISK", "--prop", "severity=3", "--prop", "host=db1", "--body", "disk 91% full"});
    live.publish({"pub", "RAW", "-b", "a\nb\\\xff"});
    live.publish({"pub", "JOB/DONE", "--bb", "job.name=backup", "--bb", "job.result.code=0", "--bb", "host.n=1"});
    live.publish({"pub", "EMPTY"});
    ASSERT_EQ(sub->wait(20000), 0) << sub->stderr_;
    // Newest property first: the daemon's, then the last --prop.
    const std::string uid = "vavevard.publisherUid=" + std::to_string(::geteuid());
    EXPECT_EQ(sub->stdout_,
              "ALARM/DISK [" + uid + " host=db1 severity=3] disk 91% full\n"
              "RAW [" + uid + "] a\\x0ab\\\\\\xff\n"
              "JOB/DONE [" + uid + "] job{name=backup result{code=0}} host{n=1}\n"
              "EMPTY [" + uid + "]\n");
}

// A reader that goes away ends `sub` at once and quietly, even when nothing
// more arrives for it to write.
TEST(ToolExit, SubEndsWithStatusZeroOnceItsPipeReaderExits) {
    LiveDaemon live;
    ASSERT_TRUE(live.daemon.ok()) << live.daemon.log();
    TempHome ready;
    const std::string ready_file = ready.path() + "/ready";
    auto env = ChildProcess::environment_with({"TAMRIX_LUMO_PROXY_PORT=" + std::to_string(live.daemon.port()),
                                               "TAMRIX_CONFIG_HOME=" + live.home.path()});
    ChildProcess shell("/bin/bash",
                       {"-c", "\"$0\" sub -f line --ready-file \"$1\" | head -1; echo \"sub ${PIPESTATUS[0]}\"",
                        VAVEVAR_TOOL_PATH, ready_file},
                       env);
    for (int i = 0; i < 150 && ::access(ready_file.c_str(), F_OK) != 0; ++i) ::usleep(100 * 1000);
    live.publish({"pub", "ONE"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(shell.wait(10000), 0) << shell.stderr_;
    EXPECT_LT(seconds_since(start), 5.0);
    EXPECT_EQ(shell.stdout_, "ONE [vavevard.publisherUid=" + std::to_string(::geteuid()) + "]\nsub 0\n");
    EXPECT_EQ(shell.stderr_, "");
}

TEST(ToolExit, SignalsEndEveryWaitingCommandWith128PlusTheSignal) {
    LiveDaemon live;
    ASSERT_TRUE(live.daemon.ok()) << live.daemon.log();
    TempHome dir;
    auto logs = live.subscribed({"LOG", "-f", "line", "-c", "2", "-t", "60"});
    for (int sig : {SIGINT, SIGTERM}) {
        auto sub = live.subscribed({"ALARM/*"});
        sub->signal(sig);
        EXPECT_EQ(sub->wait(15000), 128 + sig) << sub->stderr_;

        auto recv = live.tool({"stream", "recv", "-v", "X/*", dir.path()});
        std::string line;
        EXPECT_TRUE(recv->read_stderr_line(line, 15000)) << recv->stderr_;
        recv->signal(sig);
        EXPECT_EQ(recv->wait(15000), 128 + sig) << recv->stderr_;

        // pub --lines still hands over what it has read.
        auto lines = live.tool({"pub", "LOG", "--lines", "-v"}, true);
        ASSERT_TRUE(lines->write_stdin(std::to_string(sig) + "\n"));
        EXPECT_TRUE(lines->read_stderr_line(line, 15000)) << lines->stderr_;
        lines->signal(sig);
        EXPECT_EQ(lines->wait(15000), 128 + sig) << lines->stderr_;
    }
    EXPECT_EQ(logs->wait(20000), 0) << logs->stderr_;
    const std::string uid = "LOG [vavevard.publisherUid=" + std::to_string(::geteuid()) + "] ";
    EXPECT_EQ(logs->stdout_, uid + std::to_string(SIGINT) + "\n" + uid + std::to_string(SIGTERM) + "\n");
}
#endif

TEST(ToolInput, VersionNamesTheToolAndTheLibrary) {
    auto version = run_tool({"--version"}, 1, "/tmp");
    EXPECT_EQ(version->wait(), 0);
    EXPECT_EQ(version->stdout_.rfind("vavevar ", 0), 0u) << version->stdout_;
    EXPECT_NE(version->stdout_.find("\nlibrary "), std::string::npos) << version->stdout_;
    auto short_form = run_tool({"-V"}, 1, "/tmp");
    EXPECT_EQ(short_form->wait(), 0);
    EXPECT_EQ(short_form->stdout_, version->stdout_);
}

}  // namespace
}  // namespace vavevar::test
