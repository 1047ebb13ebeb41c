// A local user squatting on the daemon's port while the daemon is down: the
// library must send it nothing, say so once, and reach the real daemon as
// soon as that is back on its port.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "harness.h"
#include "support/foreign_listener.h"

namespace vavevar::test {
namespace {

class Impostor : public IntegrationTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
        IntegrationTest::SetUp();
    }
};

TEST_F(Impostor, AnotherUsersListenerOnThePortGetsNothingAndTheDaemonGetsAllOnceBack) {
    lumo_subscriber *s = subscribe("SQUAT/*");
    ASSERT_NE(s, nullptr);
    lumo_publisher *p = lumo_publisher_create("it");
    ASSERT_NE(p, nullptr);

    const std::uint16_t port = daemon_->port();
    ASSERT_EQ(daemon_->stop(), 0) << daemon_->log();
    // Listening first, the first attempt could be told before the capture.
    testing::internal::CaptureStderr();
    ForeignListener squatter(port);
    if (!squatter.ok()) testing::internal::GetCapturedStderr();
    ASSERT_TRUE(squatter.ok()) << "could not listen on the daemon's port";

    publish(p, "SQUAT/OUTAGE", {}, "while the port was another user's");
    // Two attempts at least, a second apart: each is refused before a byte.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::size_t bytes = 1;
        ASSERT_TRUE(squatter.next_connection(bytes)) << "the library stopped trying";
        EXPECT_EQ(bytes, 0u) << "attempt " << attempt;
    }
    squatter.stop();
    const std::string said = testing::internal::GetCapturedStderr();
    const std::string where = "Not connecting to 127.0.0.1 port " + std::to_string(port);
    const std::string squatted = where + ": it is held by uid 65534, not by the daemon's user (uid 0)";
    // An attempt that reached the daemon's queue as it stopped may have found
    // no owner the system could name: a cause of its own, told once.
    const std::string vanished = where + ": the system cannot tell who holds it";
    std::size_t told = 0, lines = 0;
    for (std::size_t at = 0; at < said.size(); ++lines) {
        std::size_t end = said.find('\n', at);
        const std::string line = said.substr(at, end - at);
        at = end == std::string::npos ? said.size() : end + 1;
        if (line == squatted) ++told;
        else EXPECT_EQ(line, vanished) << "line " << lines;
    }
    EXPECT_EQ(told, 1u) << "one report, whatever the number of attempts:\n" << said;
    EXPECT_LE(lines, 2u) << said;

    daemon_ = start_daemon(port);
    ASSERT_TRUE(daemon_->ok()) << daemon_->log();
    ASSERT_EQ(daemon_->port(), port);
    // The event queued during the outage reaches the subscriber through the
    // new daemon (held for the subscription made again after reconnecting).
    Received r = next(s);
    EXPECT_EQ(r.type + ": " + r.body, "SQUAT/OUTAGE: while the port was another user's");
    publish(p, "SQUAT/AFTER");
    EXPECT_EQ(next(s).type, "SQUAT/AFTER");
    lumo_publisher_close(p);
    lumo_subscriber_close(s);
}

}  // namespace
}  // namespace vavevar::test
