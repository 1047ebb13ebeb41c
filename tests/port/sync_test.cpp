// The platform stand-ins: the lock type, manual-reset events and sleeping.
// (Thread start and allocation failures are exercised by the thread and
// condition variable tests, which go through them.)
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "port/event.h"
#include "port/lock.h"
#include "port/systhread.h"
#include "support/threading.h"

namespace vavevar {
namespace {

using test::kLateMs;
using test::Stopwatch;

int try_lock_elsewhere(Lock *lock) {
    int rc = -1;
    std::thread([&] {
        rc = pthread_mutex_trylock(lock->native());
        if (rc == 0) pthread_mutex_unlock(lock->native());
    }).join();
    return rc;
}

TEST(Lock, IsRecursiveAndExcludesOtherThreads) {
    Lock *lock = lumo_lock_create();
    ASSERT_NE(lock, nullptr);
    // Taken twice by this thread (through the mutex, since the analysis
    // rejects re-entry on principle), it stays locked until released twice.
    ASSERT_EQ(pthread_mutex_lock(lock->native()), 0);
    ASSERT_EQ(pthread_mutex_lock(lock->native()), 0);
    EXPECT_EQ(try_lock_elsewhere(lock), EBUSY);
    pthread_mutex_unlock(lock->native());
    EXPECT_EQ(try_lock_elsewhere(lock), EBUSY);
    pthread_mutex_unlock(lock->native());
    EXPECT_EQ(try_lock_elsewhere(lock), 0);
    {
        LockGuard guard(lock);
        EXPECT_EQ(try_lock_elsewhere(lock), EBUSY);
    }
    EXPECT_EQ(try_lock_elsewhere(lock), 0);
    EXPECT_EQ(Lock::from_native(lock->native()), lock);
    lumo_lock_destroy(lock);
    lumo_lock_destroy(nullptr);
}

class Event : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(event_ = lumo_event_create(), nullptr); }
    void TearDown() override { lumo_event_destroy(event_); }
    lumox_win32_event *event_ = nullptr;
};

TEST_F(Event, StartsUnsignalledAndTimesOutAfterTheTimeOut) {
    EXPECT_FALSE(lumo_event_wait(event_, 0));
    Stopwatch watch;
    EXPECT_FALSE(lumo_event_wait(event_, 150));
    EXPECT_GE(watch.ms(), 150);
    EXPECT_LT(watch.ms(), 150 + kLateMs);
}

TEST_F(Event, StaysSignalledForEveryWaiterUntilReset) {
    std::atomic<int> passed{0};
    std::thread a([&] { passed += lumo_event_wait(event_, -1) ? 1 : 0; });
    std::thread b([&] { passed += lumo_event_wait(event_, 60000) ? 1 : 0; });
    lumo_event_set(event_);
    a.join();
    b.join();
    EXPECT_EQ(passed.load(), 2);
    EXPECT_TRUE(lumo_event_wait(event_, 0));
    lumo_event_reset(event_);
    EXPECT_FALSE(lumo_event_wait(event_, 0));
}

TEST(Sleep, SleepsAtLeastTheTimeAndZeroOnlyYields) {
    Stopwatch watch;
    lumo_sleep(120);
    EXPECT_GE(watch.ms(), 120);
    EXPECT_LT(watch.ms(), 120 + kLateMs);
    Stopwatch yield;
    lumo_sleep(0);
    EXPECT_LT(yield.ms(), kLateMs);
}

}  // namespace
}  // namespace vavevar
