// The exported condition variable, driven through the public header. The
// counters of the (public) record are read under its internal lock to see
// which waiters are registered and which releases are pending.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "support/alloc_fault.h"
#include "support/threading.h"
#include "vavevar.h"

namespace vavevar {
namespace {

using test::kLateMs;
using test::Stopwatch;
using test::wait_until;

struct Counters {
    std::int32_t waiters, released;
    std::uint32_t generation;
};

// One thread blocked in a single untimed wait, under its own mutex.
class Waiter {
public:
    explicit Waiter(lumox_win32_cond_t *cond) : cond_(cond) {
        pthread_mutex_init(&mutex_, nullptr);
        thread_ = std::thread([this, cond] {
            pthread_mutex_lock(&mutex_);
            started_.store(true);
            lumox_win32_cond_wait(cond, &mutex_);
            woken_.store(true);
            pthread_mutex_unlock(&mutex_);
        });
    }
    // Lets every waiter go first, so that a failed test does not hang here.
    ~Waiter() {
        if (thread_.joinable()) {
            lumox_win32_cond_broadcast(cond_);
            thread_.join();
        }
        pthread_mutex_destroy(&mutex_);
    }

    // Returns once the waiter has registered with the variable: it holds its
    // mutex until the wait, after registering, lets go of it.
    void await_registered() {
        ASSERT_TRUE(wait_until([this] { return started_.load(); }));
        pthread_mutex_lock(&mutex_);
        pthread_mutex_unlock(&mutex_);
    }
    bool woken() const { return woken_.load(); }
    void join() { thread_.join(); }

    // Scheduling class of the waiter's thread (best effort: a refusal only
    // makes the interleaving it was meant to force less likely).
    void set_policy(int policy) {
        sched_param param{};
        pthread_setschedparam(thread_.native_handle(), policy, &param);
    }

private:
    lumox_win32_cond_t *cond_;
    pthread_mutex_t mutex_;
    std::atomic<bool> started_{false};
    std::atomic<bool> woken_{false};
    std::thread thread_;
};

class Cond : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(lumox_win32_cond_init(&cond_), 0);
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        // An error-checking mutex reports whether the caller holds it on unlock.
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutex_init(&mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    void TearDown() override {
        lumox_win32_cond_destroy(&cond_);
        pthread_mutex_destroy(&mutex_);
    }

    Counters counters() {
        pthread_mutex_lock(cond_.lock);
        Counters c{cond_.waiters, cond_.released, cond_.generation};
        pthread_mutex_unlock(cond_.lock);
        return c;
    }
    // `n` waiters, each registered before the next one starts.
    std::vector<std::unique_ptr<Waiter>> registered_waiters(int n) {
        std::vector<std::unique_ptr<Waiter>> waiters;
        for (int i = 0; i < n; ++i) {
            waiters.push_back(std::make_unique<Waiter>(&cond_));
            waiters.back()->await_registered();
        }
        return waiters;
    }
    bool settled(std::int32_t waiters) {
        Counters c = counters();
        return c.waiters == waiters && c.released == 0;
    }

    // A timed wait of `ms` on the fixture's mutex; returns its result and
    // checks that the mutex is held again afterwards.
    std::int32_t timed_wait(std::uint32_t ms, std::int64_t *elapsed) {
        pthread_mutex_lock(&mutex_);
        Stopwatch watch;
        std::int32_t result = lumox_win32_cond_timedwait(&cond_, &mutex_, ms);
        *elapsed = watch.ms();
        EXPECT_EQ(pthread_mutex_unlock(&mutex_), 0) << "the wait must return with the lock held";
        return result;
    }

    lumox_win32_cond_t cond_{};
    pthread_mutex_t mutex_;
};

TEST_F(Cond, InitStartsWithNoWaitersAndDestroyLeavesTheRecordEmpty) {
    Counters c = counters();
    EXPECT_EQ(c.waiters, 0);
    EXPECT_EQ(c.released, 0);
    EXPECT_EQ(c.generation, 0u);
    lumox_win32_cond_destroy(&cond_);
    EXPECT_EQ(cond_.lock, nullptr);
    EXPECT_EQ(cond_.event, nullptr);
    // A second destroy (the fixture's) finds nothing to release.
}

TEST(CondArguments, NullArgumentsReturnAtOnce) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    lumox_win32_cond_t cond{};
    EXPECT_EQ(lumox_win32_cond_init(nullptr), -1);
    lumox_win32_cond_destroy(nullptr);
    lumox_win32_cond_signal(nullptr);
    lumox_win32_cond_broadcast(nullptr);
    pthread_mutex_lock(&mutex);
    lumox_win32_cond_wait(nullptr, &mutex);
    EXPECT_EQ(lumox_win32_cond_timedwait(nullptr, &mutex, 100000), 1);
    ASSERT_EQ(lumox_win32_cond_init(&cond), 0);
    lumox_win32_cond_wait(&cond, nullptr);
    EXPECT_EQ(lumox_win32_cond_timedwait(&cond, nullptr, 100000), 1);
    EXPECT_EQ(cond.waiters, 0);
    lumox_win32_cond_destroy(&cond);
    pthread_mutex_unlock(&mutex);
}

TEST(CondArguments, FailedInitLeavesAnInertVariable) {
    int tried = test::for_each_allocation_failure([] {
        lumox_win32_cond_t cond;
        cond.lock = reinterpret_cast<pthread_mutex_t *>(&cond);  // garbage from the caller
        if (lumox_win32_cond_init(&cond) == 0) {
            lumox_win32_cond_destroy(&cond);
            return true;
        }
        EXPECT_EQ(cond.lock, nullptr);
        EXPECT_EQ(cond.event, nullptr);
        pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
        pthread_mutex_lock(&mutex);
        lumox_win32_cond_wait(&cond, &mutex);
        EXPECT_EQ(lumox_win32_cond_timedwait(&cond, &mutex, 100000), 1);
        pthread_mutex_unlock(&mutex);
        lumox_win32_cond_signal(&cond);
        lumox_win32_cond_destroy(&cond);
        return false;
    });
    EXPECT_GE(tried, 2);  // the lock and the event can each fail
}

TEST_F(Cond, SignalAndBroadcastWithNobodyWaitingAreNotRemembered) {
    lumox_win32_cond_signal(&cond_);
    lumox_win32_cond_broadcast(&cond_);
    Counters c = counters();
    EXPECT_EQ(c.released, 0);
    EXPECT_EQ(c.generation, 0u);
    std::int64_t elapsed;
    EXPECT_EQ(timed_wait(60, &elapsed), 1);
    EXPECT_GE(elapsed, 60);
}

TEST_F(Cond, TimedWaitTimesOutWithTheLockHeldAndSpendsNoLaterSignal) {
    std::int64_t elapsed;
    EXPECT_EQ(timed_wait(200, &elapsed), 1);
    EXPECT_GE(elapsed, 200);
    EXPECT_LT(elapsed, 200 + kLateMs);
    EXPECT_TRUE(settled(0));
    // The waiter that timed out is gone: a signal now finds nobody.
    lumox_win32_cond_signal(&cond_);
    EXPECT_EQ(counters().generation, 0u);
}

TEST_F(Cond, ZeroTimeOutReturnsAtOnce) {
    std::int64_t elapsed;
    EXPECT_EQ(timed_wait(0, &elapsed), 1);
    EXPECT_LT(elapsed, kLateMs);
    EXPECT_TRUE(settled(0));
}

TEST_F(Cond, TimedWaitReleasedBySignalReturnsZero) {
    std::atomic<std::int32_t> result{-1};
    std::thread waiter([&] {
        std::int64_t elapsed;
        result.store(timed_wait(60000, &elapsed));
    });
    ASSERT_TRUE(wait_until([&] { return counters().waiters == 1; }));
    lumox_win32_cond_signal(&cond_);
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_TRUE(settled(0));
}

TEST_F(Cond, OneSignalReleasesExactlyOneOfThreeWaiters) {
    auto waiters = registered_waiters(3);
    lumox_win32_cond_signal(&cond_);
    auto woken = [&] {
        int n = 0;
        for (auto &w : waiters) n += w->woken() ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(wait_until([&] { return woken() == 1 && settled(2); }));
    // The other two went back to sleep: nothing lets them pass now.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(woken(), 1);
    EXPECT_TRUE(settled(2));
    lumox_win32_cond_broadcast(&cond_);
    ASSERT_TRUE(wait_until([&] { return woken() == 3; }));
    EXPECT_TRUE(settled(0));
}

TEST_F(Cond, SignalWhenEveryWaiterIsReleasedDoesNothing) {
    Waiter waiter(&cond_);
    waiter.await_registered();
    // Holding the internal lock keeps the waiter from taking its release.
    pthread_mutex_lock(cond_.lock);
    lumox_win32_cond_signal(&cond_);
    lumox_win32_cond_signal(&cond_);
    Counters c{cond_.waiters, cond_.released, cond_.generation};
    pthread_mutex_unlock(cond_.lock);
    EXPECT_EQ(c.waiters, 1);
    EXPECT_EQ(c.released, 1);
    EXPECT_EQ(c.generation, 1u);
    waiter.join();
    EXPECT_TRUE(settled(0));
}

TEST_F(Cond, BroadcastReleasesEveryWaiterOfTheMoment) {
    auto waiters = registered_waiters(3);
    lumox_win32_cond_broadcast(&cond_);
    for (auto &w : waiters) w->join();
    EXPECT_TRUE(settled(0));
    EXPECT_EQ(counters().generation, 1u);
}

// Keeps the calling thread, and the threads it starts, on one processor.
class OneProcessor {
public:
    OneProcessor() {
        pinned_ = sched_getaffinity(0, sizeof(saved_), &saved_) == 0;
        if (!pinned_) return;
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &saved_)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        pinned_ = sched_setaffinity(0, sizeof(one), &one) == 0;
    }
    ~OneProcessor() {
        if (pinned_) sched_setaffinity(0, sizeof(saved_), &saved_);
    }

private:
    cpu_set_t saved_;
    bool pinned_ = false;
};

TEST_F(Cond, LateWaiterCannotTakeAnEarlierSignalsRelease) {
    // The early waiter's way from the signal to its release is shorter than
    // the late waiter's way to registering and checking. On one processor,
    // with the early waiter at idle priority, the late one gets there first,
    // so that it is its own generation check alone that holds it back.
    OneProcessor pin;
    Waiter early(&cond_);
    early.await_registered();
    early.set_policy(SCHED_IDLE);
    // The late waiter queues on the internal lock before the signal and so
    // registers only after it, while the release is still pending.
    pthread_mutex_lock(cond_.lock);
    Waiter late(&cond_);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lumox_win32_cond_signal(&cond_);
    pthread_mutex_unlock(cond_.lock);
    late.await_registered();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    early.set_policy(SCHED_OTHER);

    ASSERT_TRUE(wait_until([&] { return early.woken() && settled(1); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(late.woken());
    lumox_win32_cond_signal(&cond_);
    late.join();
    EXPECT_TRUE(settled(0));
}

}  // namespace
}  // namespace vavevar
