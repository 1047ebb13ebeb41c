// The exported condition variable. The counters of the public record, read
// under its internal lock, tell which waiters are registered and which
// releases are still pending.
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
using test::wait_until;

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
    // The waiter holds its mutex until the wait, having registered, lets go.
    void await_registered() {
        ASSERT_TRUE(wait_until([this] { return started_.load(); }));
        pthread_mutex_lock(&mutex_);
        pthread_mutex_unlock(&mutex_);
    }
    bool woken() const { return woken_.load(); }
    void join() { thread_.join(); }
    // Best effort: a refusal only makes the forced interleaving less likely.
    void set_policy(int policy) {
        sched_param param{};
        pthread_setschedparam(thread_.native_handle(), policy, &param);
    }

private:
    lumox_win32_cond_t *cond_;
    pthread_mutex_t mutex_;
    std::atomic<bool> started_{false}, woken_{false};
    std::thread thread_;
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
// return at once, as a null variable or mutex does.
TEST(CondArguments, UnusableVariablesReturnAtOnce) {
    EXPECT_EQ(lumox_win32_cond_init(nullptr), -1);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    int tried = test::for_each_allocation_failure([&] {
        lumox_win32_cond_t cond;
        cond.lock = reinterpret_cast<pthread_mutex_t *>(&cond);  // garbage from the caller
        if (lumox_win32_cond_init(&cond) == 0) {
            EXPECT_EQ(lumox_win32_cond_timedwait(&cond, nullptr, 100000), 1);
            lumox_win32_cond_destroy(&cond);
            return true;
        }
        EXPECT_EQ(cond.lock, nullptr);
        pthread_mutex_lock(&mutex);
        lumox_win32_cond_wait(&cond, &mutex);
        EXPECT_EQ(lumox_win32_cond_timedwait(&cond, &mutex, 100000), 1);
        EXPECT_EQ(lumox_win32_cond_timedwait(nullptr, &mutex, 100000), 1);
        pthread_mutex_unlock(&mutex);
        lumox_win32_cond_signal(&cond);
        lumox_win32_cond_destroy(&cond);
        return false;
    });
    EXPECT_GE(tried, 2);  // the lock and the event can each fail
}

TEST_F(Cond, NothingWaitingMeansNothingIsRememberedAndTimedWaitsTimeOut) {
    lumox_win32_cond_signal(&cond_);
    lumox_win32_cond_broadcast(&cond_);
    std::int64_t elapsed;
    EXPECT_EQ(timed_wait(0, &elapsed), 1);
    EXPECT_LT(elapsed, kLateMs);
    EXPECT_EQ(timed_wait(200, &elapsed), 1);
    EXPECT_GE(elapsed, 200);
    EXPECT_LT(elapsed, 200 + kLateMs);
    // The waiters that timed out are gone: a signal now finds nobody.
    lumox_win32_cond_signal(&cond_);
    EXPECT_TRUE(settled(0));
    EXPECT_EQ(cond_.generation, 0u);
}

TEST_F(Cond, OneSignalReleasesExactlyOneOfThreeWaitersAndBroadcastTheRest) {
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(std::make_unique<Waiter>(&cond_));
        waiters.back()->await_registered();
    }
    auto woken = [&] {
        int n = 0;
        for (auto &w : waiters) n += w->woken() ? 1 : 0;
        return n;
    };
    lumox_win32_cond_signal(&cond_);
    ASSERT_TRUE(wait_until([&] { return woken() == 1 && settled(2); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(woken(), 1);
    lumox_win32_cond_broadcast(&cond_);
    ASSERT_TRUE(wait_until([&] { return woken() == 3; }));
    EXPECT_TRUE(settled(0));
}

TEST_F(Cond, ASignalReleasesATimedWaiterAndSignalsBeyondTheWaitersAreNotCounted) {
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
