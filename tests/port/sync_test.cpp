// The lock type, sleeping, and the start-up mutex between threads and between
// processes, its bounded wait and what others may put in its place. The mutex
// tests use a directory of their own, so other users of the real one cannot
// interfere.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <functional>
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

// The directory and the file are the user's alone, whatever the umask; a
// directory that cannot be made is not used.
TEST(GlobalMutex, TheDirectoryAndTheFileAreOnlyOurs) {
    test::TempHome dir;
    GlobalMutex first;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(first.take((dir.path() + "/no/such/dir").c_str()));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Cannot create the lock directory"), std::string::npos);
    EXPECT_FALSE(first.held());
    const std::string place = dir.path() + "/locks";
    mode_t old_mask = umask(0);
    bool taken = first.take(place.c_str());
    umask(old_mask);
    ASSERT_TRUE(taken);
    struct stat info;
    ASSERT_EQ(lstat(place.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(lstat((place + "/ixoglobal.lock").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_uid, geteuid());
    char own[64];
    lumo_global_mutex_default_dir(own, sizeof own);
    EXPECT_EQ(std::string(own), "/tmp/vavevar-" + std::to_string(geteuid()));
}

TEST(GlobalMutex, TwoThreadsExcludeEachOther) {
    test::TempHome dir;
    const char *path = dir.c_str();
    GlobalMutex first;
    ASSERT_TRUE(first.take(path));

    std::atomic<bool> second_holds{false};
    std::thread other([&] {
        GlobalMutex second;
        EXPECT_FALSE(second.try_take(path));
        EXPECT_TRUE(second.take(path));  // waits until the first lets go
        second_holds.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(second_holds.load());
    first.release();
    EXPECT_FALSE(first.held());
    other.join();
    EXPECT_TRUE(second_holds.load());
    EXPECT_TRUE(first.try_take(path));  // released by the other's destructor
}

TEST(GlobalMutex, ExcludesAnotherProcessUntilThatProcessDies) {
    test::TempHome dir;
    const char *path = dir.c_str();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        GlobalMutex held;
        char byte = held.take(path) ? 'h' : 'x';
        if (write(ready[1], &byte, 1) != 1) _exit(1);
        for (;;) pause();  // killed while holding the mutex
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    ASSERT_EQ(byte, 'h');
    GlobalMutex mine;
    EXPECT_FALSE(mine.try_take(path));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(mine.try_take(path));
}

// Held elsewhere past the bound: the take gives up, says so, and holds
// nothing; the wait lasts the bound, not much less nor much more.
TEST(GlobalMutex, TheWaitIsBoundedAndGivingUpIsReported) {
    test::TempHome dir;
    GlobalMutex holder;
    ASSERT_TRUE(holder.take(dir.c_str()));
    test::ScopedEnv bound("VAVEVAR_LOCK_WAIT_MS", "200");
    std::string said;
    test::Stopwatch watch;
    std::thread([&] {
        GlobalMutex waiter;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(waiter.take(dir.c_str()));
        said = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(waiter.held());
    }).join();
    EXPECT_GE(watch.ms(), 200);
    EXPECT_LT(watch.ms(), 200 + test::kLateMs);
    EXPECT_EQ(said, "Gave up waiting for the lock " + dir.path() + "/ixoglobal.lock after 200 ms\n");
}

// A link, a FIFO, or a file of another user in the file's place (only we or
// root could put one into the directory): taken promptly all the same, on a
// regular file of ours, and the link's target untouched.
TEST(GlobalMutex, WhateverIsPlantedInTheFilesPlaceChangesNothing) {
    test::TempHome dir;
    const std::string file = dir.path() + "/ixoglobal.lock", target = dir.path() + "/target";
    ASSERT_EQ(close(open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)), 0);
    auto link = [&] { return symlink(target.c_str(), file.c_str()) == 0; };
    auto fifo = [&] { return mkfifo(file.c_str(), 0666) == 0; };
    auto foreign = [&] {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        return fd >= 0 && close(fd) == 0 && chown(file.c_str(), 65534, 65534) == 0;
    };
    struct Plant {
        const char *what;
        std::function<bool()> make;
        bool needs_root;
    };
    for (const Plant &plant :
         {Plant{"a link", link, false}, Plant{"a FIFO", fifo, false}, Plant{"another user's file", foreign, true}}) {
        if (plant.needs_root && geteuid() != 0) continue;
        unlink(file.c_str());
        ASSERT_TRUE(plant.make()) << plant.what;
        test::Stopwatch watch;
        GlobalMutex mine;
        EXPECT_TRUE(mine.take(dir.c_str())) << plant.what;
        EXPECT_LT(watch.ms(), test::kLateMs) << plant.what;
        struct stat info;
        ASSERT_EQ(lstat(file.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode)) << plant.what;
        EXPECT_EQ(info.st_uid, geteuid()) << plant.what;
        ASSERT_EQ(lstat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0644u) << "the link's target";
    }
}

// A link, a directory others may write to, or another user's directory at
// the directory's place is never used: the take fails at once, saying so.
TEST(GlobalMutex, ADirectoryThatIsNotOursAloneIsNotUsed) {
    test::TempHome dir;
    const std::string place = dir.path() + "/locks";
    ASSERT_EQ(symlink(dir.c_str(), place.c_str()), 0);
    GlobalMutex mine;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(mine.take(place.c_str()));
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(unlink(place.c_str()), 0);
    ASSERT_EQ(mkdir(place.c_str(), 0700), 0);
    ASSERT_EQ(chmod(place.c_str(), 0733), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(mine.take(place.c_str()));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("not this user's alone"), std::string::npos);
    ASSERT_EQ(rmdir(place.c_str()), 0);
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make another user's directory";
    ASSERT_EQ(mkdir(place.c_str(), 0700), 0);
    ASSERT_EQ(chown(place.c_str(), 65534, 65534), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(mine.take(place.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "The lock directory " + place + " is not this user's alone (uid 0); not using it\n");
    EXPECT_FALSE(mine.held());
}

}  // namespace
}  // namespace vavevar
