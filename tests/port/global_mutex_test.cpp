// The machine-wide mutex between threads and between processes. Each test
// uses its own lock file, so other users of the real one cannot interfere.
#include "port/global_mutex.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/threading.h"

namespace vavevar {
namespace {

class GlobalMutexTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vavevar-gm-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/ixoglobal.lock";
    }
    void TearDown() override {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }

    // Runs `child` in a forked process and returns its exit status.
    template <typename Child>
    int in_child(Child child) {
        pid_t pid = fork();
        if (pid == 0) _exit(child());
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const char *path() const { return path_.c_str(); }

    std::string dir_, path_;
};

TEST_F(GlobalMutexTest, CreatesTheLockFileForEveryUser) {
    mode_t old_mask = umask(022);
    GlobalMutex mutex;
    EXPECT_TRUE(mutex.take(path()));
    umask(old_mask);
    EXPECT_TRUE(mutex.held());
    struct stat info;
    ASSERT_EQ(stat(path(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);
    mutex.release();
    EXPECT_FALSE(mutex.held());
}

TEST_F(GlobalMutexTest, TwoThreadsExcludeEachOther) {
    GlobalMutex first;
    ASSERT_TRUE(first.take(path()));
    std::atomic<bool> second_holds{false};
    std::thread other([&] {
        GlobalMutex second;
        EXPECT_FALSE(second.try_take(path()));
        EXPECT_TRUE(second.take(path()));  // blocks until the first lets go
        second_holds.store(true);
    });
    // The other thread's take cannot succeed while this one holds the mutex.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(second_holds.load());
    first.release();
    other.join();
    EXPECT_TRUE(second_holds.load());
    EXPECT_TRUE(first.try_take(path()));  // released by the other's destructor
}

TEST_F(GlobalMutexTest, TwoProcessesExcludeEachOther) {
    GlobalMutex mine;
    ASSERT_TRUE(mine.take(path()));
    EXPECT_EQ(in_child([&] {
                  GlobalMutex theirs;
                  return theirs.try_take(path()) ? 1 : 0;
              }),
              0);
    mine.release();
    EXPECT_EQ(in_child([&] {
                  GlobalMutex theirs;
                  return theirs.try_take(path()) ? 0 : 1;
              }),
              0);
}

TEST_F(GlobalMutexTest, AHolderThatDiesReleasesIt) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        GlobalMutex held;
        char byte = held.take(path()) ? 'h' : 'x';
        if (write(ready[1], &byte, 1) != 1) _exit(1);
        for (;;) pause();  // killed while holding the mutex
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    ASSERT_EQ(byte, 'h');
    GlobalMutex mine;
    EXPECT_FALSE(mine.try_take(path()));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(mine.try_take(path()));
}

// Only the name: taking the real file here would wait for whatever process
// on the machine holds it.
TEST(GlobalMutexDefault, IsTheMachineWideFile) {
    EXPECT_STREQ(kGlobalMutexPath, "/tmp/ixoglobal.lock");
}

TEST_F(GlobalMutexTest, AnUnopenableFileIsReportedAndNothingIsHeld) {
    GlobalMutex mutex;
    std::string missing = dir_ + "/no/such/dir/lock";
    EXPECT_FALSE(mutex.take(missing.c_str()));
    EXPECT_FALSE(mutex.held());
}

}  // namespace
}  // namespace vavevar
