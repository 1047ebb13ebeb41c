// lumo_shutdown returns within the bound its header comment states, whatever
// the daemon does: every pause and wait of the receiver ends with the stop.
// (A daemon that stops reading is covered with the sender; one that accepts
// and never answers, with the link.)
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "runtime/lifecycle.h"
#include "runtime/sender.h"
#include "support/runtime_fixture.h"
#include "support/tcp_state.h"
#include "support/threading.h"

namespace vavevar::test {
namespace {

// The comment right above a prototype in the public header.
std::string header_comment_of(const std::string &prototype) {
    std::ifstream file(VAVEVAR_PUBLIC_HEADER);
    std::stringstream text;
    text << file.rdbuf();
    const std::string header = text.str();
    std::size_t at = header.find(prototype);
    if (at == std::string::npos) return {};
    std::size_t open = header.rfind("/*", at);
    return open == std::string::npos ? std::string{} : header.substr(open, at - open);
}

int seconds_stated(const std::string &comment, const std::string &pattern) {
    std::smatch found;
    if (!std::regex_search(comment, found, std::regex(pattern))) return -1;
    return std::stoi(found[1]);
}

TEST(ShutdownBoundStated, InTheHeaderAsTheConstantsGiveIt) {
    static_assert(kStopBoundMs % 1000 == 0 && kSenderGraceMs % 1000 == 0);
    std::string shutdown = header_comment_of("void lumo_shutdown(void)");
    std::string nowait = header_comment_of("void lumo_shutdown_nowait(void)");
    EXPECT_EQ(seconds_stated(shutdown, R"(returns within (\d+) s)"), kStopBoundMs / 1000)
        << shutdown;
    EXPECT_EQ(seconds_stated(shutdown, R"(after (\d+) s is abandoned)"), kSenderGraceMs / 1000);
    EXPECT_EQ(seconds_stated(nowait, R"(returns within (\d+) s)"), kStopBoundMs / 1000) << nowait;
    EXPECT_EQ(seconds_stated(nowait, R"(the same (\d+) s)"), kSenderGraceMs / 1000);
}

class ShutdownBound : public RuntimeTest {};

TEST_F(ShutdownBound, HandshakesRefusedWhileTheBackOffHasGrown) {
    daemon.set_handshake_reply(handshake_reply("x", "failure"));
    ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
    // The fourth refusal comes after pauses of 0, 1 and 2 s and is followed
    // by one of 4 s, which a stop must not wait out.
    ASSERT_TRUE(daemon.wait_for_connections(4, std::chrono::seconds(15)));
    Stopwatch watch;
    ::lumo_shutdown();
    EXPECT_LT(watch.ms(), kLateMs);
    EXPECT_EQ(daemon.connections(), 4u);
}

TEST_F(ShutdownBound, NoDaemonAtAllDuringTheConnectPause) {
    ASSERT_EQ(::lumo_init_with_port(unused_port()), 0);
    // The first attempt is refused at once; then comes a pause of 1 s.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    lumo_sender_enqueue_event(::lumo_notification_create("never.sent", nullptr, 0));
    Stopwatch watch;
    ::lumo_shutdown();  // nothing can be written: the queue is discarded
    EXPECT_LT(watch.ms(), kPromptMs);  // not the rest of the 1 s pause
}

TEST_F(ShutdownBound, ADaemonWhoseBacklogIsFullDuringTheConnect) {
    // As a daemon that stopped accepting (stopped, or too busy): the
    // connect gets no answer and would wait minutes for the system's time-out.
    FullListener listener;
    ASSERT_TRUE(listener.filled());
    ASSERT_EQ(::lumo_init_with_port(listener.port()), 0);
    ASSERT_TRUE(wait_until([&] { return connecting_to(listener.port()); }));
    Stopwatch watch;
    ::lumo_shutdown_nowait();
    EXPECT_LT(watch.ms(), kLateMs);
}

TEST_F(ShutdownBound, StopsInAnyStateOfTheReceiverLeaveNoThreadOrDescriptorBehind) {
    // Stops land in a connect, a handshake, a pause or between them; each
    // path must close the socket it holds and end the thread.
    FullListener full;
    ASSERT_TRUE(full.filled());
    daemon.set_handshake_reply(handshake_reply("x", "failure"));
    const std::uint16_t ports[] = {daemon.port(), full.port(), unused_port()};
    int threads = count_entries("/proc/self/task");
    int fds = count_entries("/proc/self/fd");
    for (int i = 0; i < 45; ++i) {
        ASSERT_EQ(::lumo_init_with_port(ports[i % 3]), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 5 * 3));
        Stopwatch watch;
        if (i % 2 == 0)
            ::lumo_shutdown();
        else
            ::lumo_shutdown_nowait();
        ASSERT_LT(watch.ms(), kLateMs) << "cycle " << i;
    }
    EXPECT_EQ(settled_thread_count(threads), threads);
    EXPECT_EQ(settled_fd_count(fds), fds);
}

}  // namespace
}  // namespace vavevar::test
