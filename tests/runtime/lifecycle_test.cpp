// Starting and stopping the library: configuration, counting, the threads'
// lifetime and what a stop leaves behind.
#include <fcntl.h>
#include <sys/file.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/runtime_fixture.h"
#include "support/threading.h"
#include "runtime/sender.h"

namespace vavevar::test {
namespace {

using std::chrono::steady_clock;

class Lifecycle : public RuntimeTest {};

std::string run_init_capturing(int32_t (*init)(), int32_t *result) {
    testing::internal::CaptureStderr();
    *result = init();
    return testing::internal::GetCapturedStderr();
}

TEST_F(Lifecycle, MissingHomeAndPortAreBothReported) {
    ScopedEnv no_home("TAMRIX_HOME", nullptr);
    int32_t result = 0;
    std::string err = run_init_capturing(::lumo_init, &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "TAMRIX_HOME is not set\nTAMRIX_LUMO_PROXY_PORT: not set\n");
    EXPECT_EQ(lumo_runtime_current(), nullptr);
}

TEST_F(Lifecycle, PortTextIsReadLikeAtoi) {
    ScopedEnv bad("TAMRIX_LUMO_PROXY_PORT", "abc");
    int32_t result = 0;
    EXPECT_EQ(run_init_capturing(::lumo_init, &result),
              "TAMRIX_LUMO_PROXY_PORT: invalid value: abc\n");
    EXPECT_EQ(result, -1);
    ScopedEnv negative("TAMRIX_LUMO_PROXY_PORT", "-7");
    EXPECT_EQ(run_init_capturing(::lumo_init, &result),
              "TAMRIX_LUMO_PROXY_PORT: invalid value: -7\n");

    std::string with_letters = std::to_string(daemon.port()) + "abc";
    ScopedEnv trailing("TAMRIX_LUMO_PROXY_PORT", with_letters.c_str());
    ASSERT_EQ(::lumo_init(), 0);
    EXPECT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 1));
}

TEST_F(Lifecycle, OnlyTheLow16BitsOfThePortArgumentCount) {
    ASSERT_EQ(::lumo_init_with_port(70000), 0);
    ASSERT_NE(lumo_runtime_current(), nullptr);
    EXPECT_EQ(lumo_runtime_current()->port, 4464);
    ::lumo_shutdown_nowait();

    // 65536 has nothing in its low bits: the environment decides.
    std::string port = std::to_string(daemon.port());
    ScopedEnv env("TAMRIX_LUMO_PROXY_PORT", port.c_str());
    ASSERT_EQ(::lumo_init_with_port(65536), 0);
    EXPECT_EQ(lumo_runtime_current()->port, daemon.port());
    EXPECT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 1));
}

TEST_F(Lifecycle, EmptyConfigHomeFallsBackToTamrixHomeAndAnArgumentWins) {
    ScopedEnv empty("TAMRIX_CONFIG_HOME", "");
    ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
    EXPECT_STREQ(lumo_runtime_current()->home, home.c_str());
    ::lumo_shutdown_nowait();

    TempHome other;
    ScopedEnv config("TAMRIX_CONFIG_HOME", other.c_str());
    ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
    EXPECT_STREQ(lumo_runtime_current()->home, other.c_str());
    ::lumo_shutdown_nowait();

    std::string port = std::to_string(daemon.port());
    ScopedEnv env("TAMRIX_LUMO_PROXY_PORT", port.c_str());
    ASSERT_EQ(::lumo_init_wtamrixhome("/given/home"), 0);
    EXPECT_STREQ(lumo_runtime_current()->home, "/given/home");
}

TEST_F(Lifecycle, StartsAreCountedAndOnlyTheLastShutdownStops) {
    start_connected();
    EXPECT_EQ(::lumo_init_with_port(daemon.port()), -3);
    ::lumo_shutdown();
    ASSERT_NE(lumo_runtime_current(), nullptr);
    // Still running: an event queued now reaches the daemon.
    lumo_notification *n = ::lumo_notification_create("still.alive", nullptr, 0);
    ASSERT_EQ(lumo_sender_enqueue_event(n), 1);
    EXPECT_TRUE(daemon.wait_for_requests(Request::Kind::event, 1));
    ::lumo_shutdown();
    EXPECT_EQ(lumo_runtime_current(), nullptr);
    EXPECT_TRUE(daemon.wait_for_disconnections(1));
}

TEST_F(Lifecycle, ShutdownWithoutStartDoesNothing) {
    auto start = steady_clock::now();
    ::lumo_shutdown();
    ::lumo_shutdown_nowait();
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(lumo_runtime_current(), nullptr);
}

TEST_F(Lifecycle, StartReturnsPromptlyWithoutADaemonAndStopsPromptly) {
    auto start = steady_clock::now();
    ASSERT_EQ(::lumo_init_with_port(unused_port()), 0);
    EXPECT_LT(seconds_since(start), 1.0);
    start = steady_clock::now();
    lumo_sender_enqueue_event(::lumo_notification_create("never.sent", nullptr, 0));
    ::lumo_shutdown();  // nothing can be written: the queue is discarded
    // The receiver may be in its one-second pause between attempts.
    EXPECT_LT(seconds_since(start), 2.5);
}

TEST_F(Lifecycle, InstanceNameComesFromTheNinthReplyLine) {
    daemon.set_handshake_reply(handshake_reply("alpha"));
    start_connected();
    char *name = nullptr;
    ::lumo_get_instancename(&name);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "alpha");
    std::free(name);

    // A shorter successful reply leaves the name as it was.
    daemon.set_handshake_reply(reply_lines({"HTTP/1.1 200 OK", "Version: 1", "Result: success"}));
    ASSERT_TRUE(daemon.drop());
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 2));
    ASSERT_TRUE(wait_link_up());
    ::lumo_get_instancename(&name);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "alpha");
    std::free(name);

    char *tier = reinterpret_cast<char *>(1);
    ::lumo_get_tiername(&tier);
    EXPECT_EQ(tier, nullptr);
    ::lumo_get_instancename(nullptr);
}

TEST_F(Lifecycle, InstanceNameWithoutAStartedLibraryIsNull) {
    char *name = reinterpret_cast<char *>(1);
    ::lumo_get_instancename(&name);
    EXPECT_EQ(name, nullptr);
}


TEST_F(Lifecycle, RepeatedStartAndStopLeavesNoThreadOrDescriptorBehind) {
    int threads = count_entries("/proc/self/task");
    int fds = count_entries("/proc/self/fd");
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
        if (i % 2 == 0) lumo_sender_enqueue_event(::lumo_notification_create("cycle", "b", 1));
        if (i % 2 == 0)
            ::lumo_shutdown();
        else
            ::lumo_shutdown_nowait();
    }
    EXPECT_EQ(settled_thread_count(threads), threads);
    EXPECT_EQ(settled_fd_count(fds), fds);
}

TEST(Fatal, PrintsTheBannerAndEndsWithStatus255) {
    EXPECT_EXIT(lumo_fatal(), ::testing::ExitedWithCode(255),
                "^Fatal error: lUMO: lumoapi: [A-Z][a-z][a-z] [ 0-9][0-9] [0-9]{4} "
                "[0-9]{2}:[0-9]{2}:[0-9]{2}\n$");
}

}  // namespace
}  // namespace vavevar::test

namespace vavevar::test {
namespace {

TEST(MachineWideMutex, StartWaitsWhileAnotherHolderHasTheRealLockFile) {
    TempHome home;
    ScopedEnv env("TAMRIX_HOME", home.c_str());
    FakeDaemon daemon;
    lumo_runtime_set_global_mutex_path(nullptr);  // the real, machine-wide one
    int fd = ::open("/tmp/ixoglobal.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    std::atomic<int> result{1};
    std::thread starter([&] { result = ::lumo_init_with_port(daemon.port()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(result.load(), 1);  // still waiting for the holder
    ::flock(fd, LOCK_UN);
    ::close(fd);
    starter.join();
    EXPECT_EQ(result.load(), 0);
    ::lumo_shutdown_nowait();
    EXPECT_EQ(lumo_runtime_current(), nullptr);
}

}  // namespace
}  // namespace vavevar::test
