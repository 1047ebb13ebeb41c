// Starting and stopping the library: configuration, counting, the threads'
// lifetime and what a stop leaves behind.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "port/global_mutex.h"
#include "support/runtime_fixture.h"
#include "support/threading.h"
#include "runtime/sender.h"

namespace vavevar::test {
namespace {

class Lifecycle : public RuntimeTest {};

TEST_F(Lifecycle, MissingOrInvalidConfigurationIsReported) {
    struct Case {
        const char *home, *port, *report;
    };
    for (const Case &c : {Case{nullptr, nullptr, "TAMRIX_HOME is not set\nTAMRIX_LUMO_PROXY_PORT: not set\n"},
                          Case{home.c_str(), "abc", "TAMRIX_LUMO_PROXY_PORT: invalid value: abc\n"},
                          Case{home.c_str(), "-7", "TAMRIX_LUMO_PROXY_PORT: invalid value: -7\n"}}) {
        ScopedEnv home_var("TAMRIX_HOME", c.home), port_var("TAMRIX_LUMO_PROXY_PORT", c.port);
        testing::internal::CaptureStderr();
        EXPECT_EQ(::lumo_init(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.report);
        EXPECT_EQ(lumo_runtime_current(), nullptr);
    }
    // The port text is read like atoi: trailing letters are ignored.
    std::string with_letters = std::to_string(daemon.port()) + "abc";
    ScopedEnv trailing("TAMRIX_LUMO_PROXY_PORT", with_letters.c_str());
    ASSERT_EQ(::lumo_init(), 0);
    EXPECT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 1));
}

TEST_F(Lifecycle, PortArgumentCountsByItsLow16Bits) {
    ASSERT_EQ(::lumo_init_with_port(70000), 0);
    EXPECT_EQ(lumo_runtime_current()->port, 4464);
    ::lumo_shutdown_nowait();

    // 65536 has nothing in its low bits: the environment decides.
    std::string port = std::to_string(daemon.port());
    ScopedEnv env("TAMRIX_LUMO_PROXY_PORT", port.c_str());
    ASSERT_EQ(::lumo_init_with_port(65536), 0);
    EXPECT_EQ(lumo_runtime_current()->port, daemon.port());
}

TEST_F(Lifecycle, HomeIsTheGivenOneElseTheConfigurationHomeElseTheHome) {
    std::string port = std::to_string(daemon.port());
    ScopedEnv env("TAMRIX_LUMO_PROXY_PORT", port.c_str());
    // An empty configuration home falls back to the home.
    ScopedEnv empty("TAMRIX_CONFIG_HOME", "");
    ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
    EXPECT_STREQ(lumo_runtime_current()->home, home.c_str());
    ::lumo_shutdown_nowait();

    TempHome other;
    ScopedEnv config("TAMRIX_CONFIG_HOME", other.c_str());
    ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
    EXPECT_STREQ(lumo_runtime_current()->home, other.c_str());
    ::lumo_shutdown_nowait();
    ASSERT_EQ(::lumo_init_wtamrixhome("/given/home"), 0);
    EXPECT_STREQ(lumo_runtime_current()->home, "/given/home");
}

TEST_F(Lifecycle, ShutdownWithoutAStartDoesNothing) {
    Stopwatch watch;
    ::lumo_shutdown();
    ::lumo_shutdown_nowait();
    EXPECT_LT(watch.ms(), kLateMs);
    EXPECT_EQ(lumo_runtime_current(), nullptr);
}

TEST_F(Lifecycle, EveryStartNeedsItsOwnShutdown) {
    start_connected();
    EXPECT_EQ(::lumo_init_with_port(daemon.port()), -3);
    ::lumo_shutdown();
    ASSERT_NE(lumo_runtime_current(), nullptr);
    // Still running: an event queued now reaches the daemon.
    ASSERT_TRUE(lumo_sender_enqueue_event(::lumo_notification_create("still.alive", nullptr, 0)));
    EXPECT_TRUE(daemon.wait_for_requests(Request::Kind::event, 1));
    ::lumo_shutdown();
    EXPECT_EQ(lumo_runtime_current(), nullptr);
    EXPECT_TRUE(daemon.wait_for_disconnections(1));
}

TEST_F(Lifecycle, StartReturnsPromptlyWithoutADaemon) {
    // (How promptly it stops then is a matter of the shutdown bound tests.)
    Stopwatch watch;
    ASSERT_EQ(::lumo_init_with_port(unused_port()), 0);
    EXPECT_LT(watch.ms(), kPromptMs);  // not a connect pause
}

std::string instance_name() {
    char *name = reinterpret_cast<char *>(1);
    ::lumo_get_instancename(&name);
    std::string text = name != nullptr ? name : "<null>";
    std::free(name);
    return text;
}

TEST_F(Lifecycle, InstanceNameComesFromTheNinthReplyLine) {
    EXPECT_EQ(instance_name(), "<null>");  // not started
    daemon.set_handshake_reply(handshake_reply("alpha"));
    start_connected();
    EXPECT_EQ(instance_name(), "alpha");

    // A shorter successful reply leaves the name as it was.
    daemon.set_handshake_reply(reply_lines({"HTTP/1.1 200 OK", "Version: 1", "Result: success"}));
    ASSERT_TRUE(daemon.drop());
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 2));
    ASSERT_TRUE(wait_link_up());
    EXPECT_EQ(instance_name(), "alpha");

    // With the link down it waits for the link to come back.
    daemon.queue_handshake_reply(std::nullopt);
    daemon.set_handshake_reply(handshake_reply("beta"));
    ASSERT_TRUE(daemon.drop());
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 3));  // left unanswered
    auto later = std::async(std::launch::async, instance_name);
    EXPECT_EQ(later.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    ASSERT_TRUE(daemon.drop());
    EXPECT_EQ(later.get(), "beta");

    char *tier = reinterpret_cast<char *>(1);
    ::lumo_get_tiername(&tier);
    EXPECT_EQ(tier, nullptr);
    ::lumo_get_instancename(nullptr);
}

TEST_F(Lifecycle, RepeatedStartAndStopLeavesNoThreadOrDescriptorBehind) {
    int threads = count_entries("/proc/self/task");
    int fds = count_entries("/proc/self/fd");
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
        if (i % 2 == 0) {
            lumo_sender_enqueue_event(::lumo_notification_create("cycle", "b", 1));
            ::lumo_shutdown();
        } else {
            ::lumo_shutdown_nowait();
        }
    }
    EXPECT_EQ(settled_thread_count(threads), threads);
    EXPECT_EQ(settled_fd_count(fds), fds);
}

TEST(Fatal, PrintsTheBannerAndEndsWithStatus255) {
    EXPECT_EXIT(lumo_fatal(), ::testing::ExitedWithCode(255),
                "^Fatal error: lUMO: lumoapi: [A-Z][a-z][a-z] [ 0-9][0-9] [0-9]{4} "
                "[0-9]{2}:[0-9]{2}:[0-9]{2}\n$");
}

// The user's own lock, held by another process of this user: a start waits
// for it, and gives up with -2 and a report once the bound has passed.
TEST(StartupMutex, StartWaitsForAnotherHolderOfTheUsersLockWithinTheBound) {
    TempHome home;
    ScopedEnv env("TAMRIX_HOME", home.c_str());
    FakeDaemon daemon;
    lumo_runtime_set_global_mutex_dir(nullptr);  // the user's own
    char own[64];
    lumo_global_mutex_default_dir(own, sizeof own);
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        GlobalMutex held;
        char byte = held.take() ? 'h' : 'x';
        if (::write(ready[1], &byte, 1) != 1 || ::read(release[0], &byte, 1) != 1) ::_exit(1);
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'h');
    {
        ScopedEnv bound("VAVEVAR_LOCK_WAIT_MS", "300");
        testing::internal::CaptureStderr();
        Stopwatch watch;
        EXPECT_EQ(::lumo_init_with_port(daemon.port()), -2);
        EXPECT_GE(watch.ms(), 300);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("Gave up waiting for the lock ") + own + "/ixoglobal.lock after 300 ms\n");
        EXPECT_EQ(lumo_runtime_current(), nullptr);
    }
    std::atomic<int> result{1};
    std::thread starter([&] { result = ::lumo_init_with_port(daemon.port()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(result.load(), 1);  // still waiting for the holder
    ASSERT_EQ(::write(release[1], "r", 1), 1);
    ::waitpid(holder, nullptr, 0);
    starter.join();
    EXPECT_EQ(result.load(), 0);
    ::lumo_shutdown_nowait();
    EXPECT_EQ(lumo_runtime_current(), nullptr);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

// The lock's old, shared place, which any user could hold (or fill with a
// FIFO) to stall every start on the machine, is no longer looked at: held
// there, a start completes promptly.
TEST(StartupMutex, AHolderOfTheOldSharedPlaceStallsNobody) {
    TempHome home;
    ScopedEnv env("TAMRIX_HOME", home.c_str());
    FakeDaemon daemon;
    lumo_runtime_set_global_mutex_dir(nullptr);
    const int fd = ::open("/tmp/ixoglobal.lock", O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) GTEST_SKIP() << "cannot open the old place: " << std::strerror(errno);
    bool held = false;
    for (int i = 0; i < 100 && !(held = ::flock(fd, LOCK_EX | LOCK_NB) == 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!held) {
        ::close(fd);
        GTEST_SKIP() << "someone else holds the old place";
    }
    std::future<int> started = std::async(std::launch::async, [&] { return ::lumo_init_with_port(daemon.port()); });
    const bool prompt = started.wait_for(std::chrono::milliseconds(kLateMs)) == std::future_status::ready;
    ::flock(fd, LOCK_UN);  // lets a start that waited there end the test
    ::close(fd);
    EXPECT_TRUE(prompt) << "the start waited for the old place";
    EXPECT_EQ(started.get(), 0);
    ::lumo_shutdown_nowait();
}

}  // namespace
}  // namespace vavevar::test
