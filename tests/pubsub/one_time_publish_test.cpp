// One-time publish: one call that starts the library when needed, publishes,
// and leaves the library exactly as it found it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "notification/notification.h"
#include "pubsub/publisher.h"
#include "support/runtime_fixture.h"
#include "support/threading.h"

namespace vavevar::test {
namespace {

class OneTimePublish : public RuntimeTest {
protected:
    // The fixture's own guard puts the variable back afterwards.
    static void use_port(std::uint16_t port) {
        ::setenv("TAMRIX_LUMO_PROXY_PORT", std::to_string(port).c_str(), 1);
    }
};

TEST_F(OneTimePublish, WithoutAStartWritesTheEventBeforeReturningAndLeavesNothingBehind) {
    use_port(daemon.port());
    int threads = count_entries("/proc/self/task");
    int fds = count_entries("/proc/self/fd");
    ASSERT_EQ(::lumo_one_time_publish("oneshot", ::lumo_notification_create("once", "body", 4)), 0);
    // Written before the call returned: the stop drained the sender.
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 1, std::chrono::milliseconds(500)));
    auto events = daemon.requests(Request::Kind::event);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].header("eventType"), "once");
    EXPECT_EQ(events[0].header("generatingComponent"), "oneshot");
    EXPECT_EQ(events[0].body, "body");
    EXPECT_EQ(lumo_runtime_current(), nullptr);
    EXPECT_EQ(settled_thread_count(threads), threads);
    // The library hung up; the fake daemon closes its end on its own thread.
    ASSERT_TRUE(daemon.wait_for_disconnections(1));
    EXPECT_EQ(settled_fd_count(fds), fds);
}

TEST_F(OneTimePublish, JoinsARunningLibraryAndLeavesItRunning) {
    start_connected();
    use_port(daemon.port());  // read from the environment all the same
    ASSERT_EQ(::lumo_one_time_publish("oneshot", ::lumo_notification_create("joined", nullptr, 0)), 0);
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 1));
    lumo_runtime *rt = lumo_runtime_current();
    ASSERT_NE(rt, nullptr);
    EXPECT_EQ(rt->ref_count, 1);
    ::lumo_shutdown();
    EXPECT_EQ(lumo_runtime_current(), nullptr);
}

TEST_F(OneTimePublish, WithoutADaemonFailsAfterTheLinkWait) {
    use_port(unused_port());
    int threads = count_entries("/proc/self/task");
    int fds = count_entries("/proc/self/fd");
    lumo_notification *n = ::lumo_notification_create("lost", nullptr, 0);
    Stopwatch watch;
    EXPECT_EQ(::lumo_one_time_publish("oneshot", n), -1);
    EXPECT_GE(watch.ms(), kPublisherLinkWaitMs);
    EXPECT_LT(watch.ms(), kPublisherLinkWaitMs + kLateMs);
    EXPECT_EQ(lumo_runtime_current(), nullptr);
    EXPECT_EQ(settled_thread_count(threads), threads);
    EXPECT_EQ(settled_fd_count(fds), fds);
    // Not published: still the caller's.
    EXPECT_STREQ(::lumo_notification_type(n), "lost");
    vavevar::lumo_notification_destroy(n);
}

TEST_F(OneTimePublish, RefusesMissingArgumentsAndConfigurationWithoutStarting) {
    lumo_notification *n = ::lumo_notification_create("kept", nullptr, 0);
    use_port(daemon.port());
    EXPECT_EQ(::lumo_one_time_publish(nullptr, n), -1);
    EXPECT_EQ(::lumo_one_time_publish("oneshot", nullptr), -1);
    EXPECT_EQ(::lumo_one_time_remote_publish("localhost", 1, "c", nullptr), -1);
    ::unsetenv("TAMRIX_LUMO_PROXY_PORT");
    testing::internal::CaptureStderr();
    EXPECT_EQ(::lumo_one_time_publish("oneshot", n), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "TAMRIX_LUMO_PROXY_PORT: not set\n");
    EXPECT_EQ(lumo_runtime_current(), nullptr);
    EXPECT_EQ(daemon.connections(), 0u);
    vavevar::lumo_notification_destroy(n);
}

}  // namespace
}  // namespace vavevar::test
