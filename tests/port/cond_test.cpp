// The exported condition variable and threads. The counters of the public
// records, read under their locks, tell which waiters are registered, which
// releases are still pending, when a joiner waits and when a routine has
// finished.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <semaphore>
#include <thread>
#include <vector>

#include "port/thread.h"
#include "support/alloc_fault.h"
#include "support/threading.h"
#include "vavevar.h"

namespace vavevar {
namespace {

using test::kLateMs;
using test::wait_until;

// A thread in one untimed wait, under a mutex of its own that it holds until
// the wait, having registered, lets go of it.
struct Waiter {
    explicit Waiter(lumox_win32_cond_t *c) : cond(c) {}
    // Lets the waiter go first, so that a failed test does not hang here.
    ~Waiter() {
        if (!thread.joinable()) return;
        lumox_win32_cond_broadcast(cond);
        thread.join();
    }
    void await_registered() {
        ASSERT_TRUE(wait_until([this] { return started.load(); }));
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
    }

    lumox_win32_cond_t *cond;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<bool> started{false}, woken{false};
    std::thread thread{[this] {
        pthread_mutex_lock(&mutex);
        started.store(true);
        lumox_win32_cond_wait(cond, &mutex);
        woken.store(true);
        pthread_mutex_unlock(&mutex);
    }};
};

class Cond : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(lumox_win32_cond_init(&cond_), 0);
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        // Unlocking an error-checking mutex reports whether the caller held it.
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutex_init(&mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    void TearDown() override {
        lumox_win32_cond_destroy(&cond_);
        pthread_mutex_destroy(&mutex_);
    }

    // No release pending and `waiters` registered.
    bool settled(std::int32_t waiters) {
        pthread_mutex_lock(cond_.lock);
        bool done = cond_.waiters == waiters && cond_.released == 0;
        pthread_mutex_unlock(cond_.lock);
        return done;
    }
    // A timed wait of `ms`; checks that it returns with the mutex held again.
    std::int32_t timed_wait(std::uint32_t ms, std::int64_t *elapsed = nullptr) {
        pthread_mutex_lock(&mutex_);
        test::Stopwatch watch;
        std::int32_t result = lumox_win32_cond_timedwait(&cond_, &mutex_, ms);
        if (elapsed != nullptr) *elapsed = watch.ms();
        EXPECT_EQ(pthread_mutex_unlock(&mutex_), 0) << "the wait must return with the lock held";
        return result;
    }

    lumox_win32_cond_t cond_{};
    pthread_mutex_t mutex_;
};

// A variable whose init failed holds nothing and makes every operation
// return at once, so that its owner may destroy it with the others.
TEST(CondArguments, AVariableWhoseInitFailedIsInert) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    int tried = test::for_each_allocation_failure([&] {
        lumox_win32_cond_t cond;
        cond.lock = reinterpret_cast<pthread_mutex_t *>(&cond);  // garbage from the caller
        const bool ok = lumox_win32_cond_init(&cond) == 0;
        pthread_mutex_lock(&mutex);
        if (!ok) {
            EXPECT_EQ(cond.lock, nullptr);
            EXPECT_EQ(cond.event, nullptr);
            lumox_win32_cond_wait(&cond, &mutex);
            EXPECT_EQ(lumox_win32_cond_timedwait(&cond, &mutex, 100000), 1);
        }
        pthread_mutex_unlock(&mutex);
        lumox_win32_cond_destroy(&cond);
        return ok;
    });
    EXPECT_GT(tried, 0);
}

TEST_F(Cond, SignalsWithNoWaiterAreNotRememberedSoTimedWaitsTimeOut) {
    lumox_win32_cond_signal(&cond_);
    lumox_win32_cond_broadcast(&cond_);
    std::int64_t elapsed;
    EXPECT_EQ(timed_wait(0, &elapsed), 1);
    EXPECT_LT(elapsed, kLateMs);
    EXPECT_EQ(timed_wait(200, &elapsed), 1);
    EXPECT_GE(elapsed, 200);
    EXPECT_LT(elapsed, 200 + kLateMs);
    // Nothing was remembered, and the waiters that timed out are gone.
    lumox_win32_cond_signal(&cond_);
    EXPECT_TRUE(settled(0));
    EXPECT_EQ(cond_.generation, 0u);
}

TEST_F(Cond, SignalsBeyondTheWaitersAreNotCounted) {
    std::atomic<std::int32_t> result{-1};
    std::thread waiter([&] { result.store(timed_wait(60000)); });
    ASSERT_TRUE(wait_until([&] { return settled(1); }));
    // Holding the internal lock keeps the waiter from taking its release.
    pthread_mutex_lock(cond_.lock);
    lumox_win32_cond_signal(&cond_);
    lumox_win32_cond_signal(&cond_);
    EXPECT_EQ(cond_.released, 1);
    pthread_mutex_unlock(cond_.lock);
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_TRUE(settled(0));
}

// Three threads in an untimed wait on the variable.
class CondWithThreeWaiters : public Cond {
protected:
    void SetUp() override {
        Cond::SetUp();
        if (HasFatalFailure()) return;
        for (int i = 0; i < 3; ++i) {
            waiters.push_back(std::make_unique<Waiter>(&cond_));
            waiters.back()->await_registered();
        }
    }
    // Let the waiters go before the variable is destroyed.
    void TearDown() override {
        waiters.clear();
        Cond::TearDown();
    }
    int woken() {
        int n = 0;
        for (auto &w : waiters) n += w->woken.load() ? 1 : 0;
        return n;
    }
    std::vector<std::unique_ptr<Waiter>> waiters;
};

TEST_F(CondWithThreeWaiters, OneSignalReleasesExactlyOneWaiter) {
    lumox_win32_cond_signal(&cond_);
    ASSERT_TRUE(wait_until([&] { return woken() == 1 && settled(2); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(woken(), 1);
}

TEST_F(CondWithThreeWaiters, ABroadcastReleasesEveryWaiter) {
    lumox_win32_cond_broadcast(&cond_);
    ASSERT_TRUE(wait_until([&] { return woken() == 3; }));
    EXPECT_TRUE(settled(0));
}

void set_policy(std::thread &thread, int policy) {
    sched_param param{};
    pthread_setschedparam(thread.native_handle(), policy, &param);  // best effort
}

TEST_F(Cond, LateWaiterCannotTakeAnEarlierSignalsRelease) {
    // The early waiter's way from the signal to its release is shorter than
    // the late waiter's way to registering and checking. On one processor,
    // with the early waiter at idle priority, the late one gets there first,
    // so that it is its own generation check alone that holds it back. A
    // refused pinning or priority only makes that interleaving less likely.
    cpu_set_t saved, one;
    const bool pinned = sched_getaffinity(0, sizeof saved, &saved) == 0;
    CPU_ZERO(&one);
    for (int cpu = 0; pinned && cpu < CPU_SETSIZE && CPU_COUNT(&one) == 0; ++cpu)
        if (CPU_ISSET(cpu, &saved)) CPU_SET(cpu, &one);
    if (pinned) sched_setaffinity(0, sizeof one, &one);  // inherited by the waiters
    Waiter early(&cond_);
    early.await_registered();
    set_policy(early.thread, SCHED_IDLE);
    // The late waiter queues on the internal lock before the signal and so
    // registers only after it, while the release is still pending.
    pthread_mutex_lock(cond_.lock);
    Waiter late(&cond_);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lumox_win32_cond_signal(&cond_);
    pthread_mutex_unlock(cond_.lock);
    late.await_registered();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    set_policy(early.thread, SCHED_OTHER);
    if (pinned) sched_setaffinity(0, sizeof saved, &saved);

    ASSERT_TRUE(wait_until([&] { return early.woken.load() && settled(1); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(late.woken.load());
    lumox_win32_cond_signal(&cond_);
    late.thread.join();
    EXPECT_TRUE(settled(0));
}

void release_semaphore(void *arg) { static_cast<std::binary_semaphore *>(arg)->release(); }
void block_on_semaphore(void *arg) { static_cast<std::binary_semaphore *>(arg)->acquire(); }
void count_up(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); }

TEST(AttachedThread, JoinWaitsForTheRoutineOrReturnsAtOnceWhenItHasFinished) {
    std::binary_semaphore go(0);
    lumox_win32_thread_t *blocked = ::lumox_win32_thread_createattached(block_on_semaphore, &go);
    ASSERT_NE(blocked, nullptr);
    std::atomic<bool> joined{false};
    void *result = &go;
    std::thread joiner([&] {
        ::lumox_win32_thread_join(blocked, &result);
        joined.store(true);
    });
    ASSERT_TRUE(wait_until([&] { LockGuard guard(blocked->lock); return blocked->joiners == 1; }));
    EXPECT_FALSE(joined.load());
    go.release();
    joiner.join();
    EXPECT_EQ(result, nullptr);

    // The routine's completion found no joiner to wake: join must not wait for
    // it, and frees the record only now (the leak checker sees the rest).
    std::atomic<int> runs{0};
    lumox_win32_thread_t *done = ::lumox_win32_thread_createattached(count_up, &runs);
    ASSERT_NE(done, nullptr);
    ASSERT_TRUE(wait_until([&] { LockGuard guard(done->lock); return done->finished != 0; }));
    ::lumox_win32_thread_join(done, nullptr);
    EXPECT_EQ(runs.load(), 1);
}

// Wherever memory runs out, a start reports its failure with nothing started
// (the routine runs once in all, for the start that succeeded) and nothing
// left allocated (the leak checker watches the sanitizer build).
TEST(Threads, AStartThatRunsOutOfMemoryStartsNothing) {
    std::atomic<int> runs{0};
    int failures = test::for_each_allocation_failure([&] {
        lumox_win32_thread_t *thread = ::lumox_win32_thread_createattached(count_up, &runs);
        if (thread == nullptr) return false;
        ::lumox_win32_thread_join(thread, nullptr);
        return true;
    });
    EXPECT_GT(failures, 0);
    EXPECT_EQ(runs.load(), 1);

    runs = 0;
    failures = test::for_each_allocation_failure([&] {
        return ::lumox_win32_thread_createdetached(count_up, &runs) != UINTPTR_MAX;
    });
    EXPECT_GT(failures, 0);
    ASSERT_TRUE(wait_until([&] { return runs.load() == 1; }));
    // A failed start that ran the routine all the same would count again.
    std::binary_semaphore done(0);
    ASSERT_NE(::lumox_win32_thread_createdetached(release_semaphore, &done), UINTPTR_MAX);
    done.acquire();
    EXPECT_EQ(runs.load(), 1);
}

}  // namespace
}  // namespace vavevar
