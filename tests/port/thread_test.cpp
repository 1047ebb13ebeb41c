// Attached and detached threads through the public header; the attached
// thread's record is looked at (under its lock) to know when a joiner waits
// and when the routine has finished.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <semaphore>
#include <thread>

#include "port/thread.h"
#include "support/alloc_fault.h"
#include "support/threading.h"
#include "vavevar.h"

namespace vavevar {
namespace {

using test::kLateMs;
using test::Stopwatch;
using test::wait_until;

void release_semaphore(void *arg) { static_cast<std::binary_semaphore *>(arg)->release(); }

void block_on_semaphore(void *arg) { static_cast<std::binary_semaphore *>(arg)->acquire(); }

void count_up(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); }

std::int32_t joiners(lumox_win32_thread_t *thread) {
    LockGuard guard(thread->lock);
    return thread->joiners;
}

bool finished(lumox_win32_thread_t *thread) {
    LockGuard guard(thread->lock);
    return thread->finished != 0;
}

TEST(AttachedThread, JoinWaitsForTheRoutineAndStoresNull) {
    std::binary_semaphore go(0);
    lumox_win32_thread_t *thread = ::lumox_win32_thread_createattached(block_on_semaphore, &go);
    ASSERT_NE(thread, nullptr);
    std::atomic<bool> joined{false};
    void *result = &go;
    std::thread joiner([&] {
        ::lumox_win32_thread_join(thread, &result);
        joined.store(true);
    });
    ASSERT_TRUE(wait_until([&] { return joiners(thread) == 1; }));
    EXPECT_FALSE(joined.load());
    go.release();
    joiner.join();
    EXPECT_EQ(result, nullptr);
}

TEST(AttachedThread, JoinOfAFinishedThreadReturnsAtOnce) {
    std::atomic<int> runs{0};
    lumox_win32_thread_t *thread = ::lumox_win32_thread_createattached(count_up, &runs);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(wait_until([&] { return finished(thread); }));
    void *result = &runs;
    Stopwatch watch;
    ::lumox_win32_thread_join(thread, &result);
    EXPECT_LT(watch.ms(), kLateMs);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(runs.load(), 1);
}

TEST(AttachedThread, NullArguments) {
    EXPECT_EQ(::lumox_win32_thread_createattached(nullptr, nullptr), nullptr);
    void *result = &result;
    ::lumox_win32_thread_join(nullptr, &result);
    EXPECT_EQ(result, nullptr);
    ::lumox_win32_thread_join(nullptr, nullptr);
}

// Every allocation of the start can fail, the completion variable's event
// among them; each failure must return null with nothing started and nothing
// left allocated (the leak checker watches the sanitizer build).
TEST(AttachedThread, EveryAllocationFailureReturnsNullAndLeavesNothing) {
    std::atomic<int> runs{0};
    int failures = test::for_each_allocation_failure([&] {
        lumox_win32_thread_t *thread = ::lumox_win32_thread_createattached(count_up, &runs);
        if (thread == nullptr) return false;
        ::lumox_win32_thread_join(thread, nullptr);
        return true;
    });
    // Record, lock, completion variable with its lock and event, start block
    // and the platform's own start record.
    EXPECT_EQ(failures, 7);
    EXPECT_EQ(runs.load(), 1);
}

TEST(DetachedThread, RunsTheRoutine) {
    std::binary_semaphore done(0);
    EXPECT_NE(::lumox_win32_thread_createdetached(release_semaphore, &done), UINTPTR_MAX);
    done.acquire();
}

TEST(DetachedThread, FailureGivesAllBitsSet) {
    EXPECT_EQ(::lumox_win32_thread_createdetached(nullptr, nullptr), UINTPTR_MAX);
    std::binary_semaphore done(0);
    int failures = test::for_each_allocation_failure([&] {
        if (::lumox_win32_thread_createdetached(release_semaphore, &done) == UINTPTR_MAX) return false;
        done.acquire();
        return true;
    });
    EXPECT_EQ(failures, 2);  // the start block, then the platform's start record
}

}  // namespace
}  // namespace vavevar
