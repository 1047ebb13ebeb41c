// Attached and detached threads; the attached thread's record, read under its
// lock, tells when a joiner waits and when the routine has finished.
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

using test::wait_until;

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
    ASSERT_TRUE(wait_until([&] {
        LockGuard guard(blocked->lock);
        return blocked->joiners == 1;
    }));
    EXPECT_FALSE(joined.load());
    go.release();
    joiner.join();
    EXPECT_EQ(result, nullptr);

    // The routine's completion found no joiner to wake: join must not wait for it.
    std::atomic<int> runs{0};
    lumox_win32_thread_t *done = ::lumox_win32_thread_createattached(count_up, &runs);
    ASSERT_NE(done, nullptr);
    ASSERT_TRUE(wait_until([&] {
        LockGuard guard(done->lock);
        return done->finished != 0;
    }));
    ::lumox_win32_thread_join(done, nullptr);
    EXPECT_EQ(runs.load(), 1);
}

// Each failure must return null with nothing started and nothing left
// allocated (the leak checker watches the sanitizer build).
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

TEST(DetachedThread, RunsTheRoutineOrGivesAllBitsSet) {
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
