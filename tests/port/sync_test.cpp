// The lock type, sleeping, and the machine-wide mutex between threads and
// between processes. The mutex tests use a lock file of their own, so other
// users of the real one cannot interfere.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "port/global_mutex.h"
#include "port/lock.h"
#include "port/systhread.h"
#include "support/temp_home.h"
#include "support/threading.h"

namespace vavevar {
namespace {

TEST(Lock, ExcludesOtherThreadsUntilReleasedAsOftenAsTaken) {
    Lock *lock = lumo_lock_create();
    ASSERT_NE(lock, nullptr);
    auto try_lock_elsewhere = [lock] {
        int rc = -1;
        std::thread([&] {
            if ((rc = pthread_mutex_trylock(lock->native())) == 0) pthread_mutex_unlock(lock->native());
        }).join();
        return rc;
    };
    // Taken twice through the mutex, since the analysis rejects re-entry.
    ASSERT_EQ(pthread_mutex_lock(lock->native()), 0);
    ASSERT_EQ(pthread_mutex_lock(lock->native()), 0);
    pthread_mutex_unlock(lock->native());
    EXPECT_EQ(try_lock_elsewhere(), EBUSY);
    pthread_mutex_unlock(lock->native());
    EXPECT_EQ(try_lock_elsewhere(), 0);
    lumo_lock_destroy(lock);
}

TEST(Sleep, SleepsAtLeastTheTime) {
    test::Stopwatch watch;
    lumo_sleep(120);
    EXPECT_GE(watch.ms(), 120);
    EXPECT_LT(watch.ms(), 120 + test::kLateMs);
}

// The file is for every user, whatever the umask; one that cannot be created
// is not taken.
TEST(GlobalMutex, TheFileIsForEveryUser) {
    test::TempHome dir;
    GlobalMutex first;
    EXPECT_FALSE(first.take((dir.path() + "/no/such/dir/lock").c_str()));
    EXPECT_FALSE(first.held());
    const std::string path = dir.path() + "/ixoglobal.lock";
    mode_t old_mask = umask(022);
    bool taken = first.take(path.c_str());
    umask(old_mask);
    ASSERT_TRUE(taken);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);
}

TEST(GlobalMutex, TwoThreadsExcludeEachOther) {
    test::TempHome dir;
    const std::string path = dir.path() + "/ixoglobal.lock";
    GlobalMutex first;
    ASSERT_TRUE(first.take(path.c_str()));

    std::atomic<bool> second_holds{false};
    std::thread other([&] {
        GlobalMutex second;
        EXPECT_FALSE(second.try_take(path.c_str()));
        EXPECT_TRUE(second.take(path.c_str()));  // blocks until the first lets go
        second_holds.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(second_holds.load());
    first.release();
    EXPECT_FALSE(first.held());
    other.join();
    EXPECT_TRUE(second_holds.load());
    EXPECT_TRUE(first.try_take(path.c_str()));  // released by the other's destructor
}

TEST(GlobalMutex, ExcludesAnotherProcessUntilThatProcessDies) {
    test::TempHome dir;
    const std::string path = dir.path() + "/ixoglobal.lock";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        GlobalMutex held;
        char byte = held.take(path.c_str()) ? 'h' : 'x';
        if (write(ready[1], &byte, 1) != 1) _exit(1);
        for (;;) pause();  // killed while holding the mutex
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    ASSERT_EQ(byte, 'h');
    GlobalMutex mine;
    EXPECT_FALSE(mine.try_take(path.c_str()));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(mine.try_take(path.c_str()));
}

}  // namespace
}  // namespace vavevar
