// The blocking queue. Items are small numbers cast to pointers; the queue
// never looks inside them.
#include "port/queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <initializer_list>
#include <thread>
#include <vector>

#include "support/alloc_fault.h"
#include "support/threading.h"

namespace vavevar {
namespace {

using test::kLateMs;
using test::Stopwatch;
using test::wait_until;
using Items = std::vector<std::uintptr_t>;

void *item(std::uintptr_t n) { return reinterpret_cast<void *>(n); }
std::uintptr_t number(void *p) { return reinterpret_cast<std::uintptr_t>(p); }
bool ready(std::future<void *> &f) { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

class Queue : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(q_ = lumo_queue_create(), nullptr); }
    void TearDown() override { lumo_queue_destroy(q_, nullptr); }

    void put_all(std::initializer_list<std::uintptr_t> items) {
        for (auto n : items) ASSERT_EQ(lumo_queue_put(q_, item(n)), 1);
    }
    Items drain() {
        Items out;
        while (void *p = lumo_queue_get(q_, 0, 0)) out.push_back(number(p));
        return out;
    }
    std::int32_t sleeping_getters() {
        LockGuard guard(q_->lock);
        return q_->get_waiters;
    }
    std::int32_t drain_waiters() {
        LockGuard guard(q_->lock);
        return q_->drain_waiters;
    }
    std::future<void *> getter(std::int32_t timeout_ms = -1) {
        return std::async(std::launch::async, [this, timeout_ms] { return lumo_queue_get(q_, 1, timeout_ms); });
    }
    std::future<std::int32_t> closer() {
        return std::async(std::launch::async, [this] { return lumo_queue_close(q_); });
    }

    lumo_queue *q_ = nullptr;
};

TEST(QueueArguments, CreateFailsCleanlyWhenMemoryRunsOut) {
    int failures = test::for_each_allocation_failure([] {
        lumo_queue *q = lumo_queue_create();
        if (q == nullptr) return false;
        lumo_queue_destroy(q, nullptr);
        return true;
    });
    EXPECT_EQ(failures, 6);  // record, lock, and a lock and an event per condition
}

TEST_F(Queue, PutsKeepTheirOrderAndPutFrontGoesFirst) {
    // Every shape the links can have: empty, one item, two, more.
    ASSERT_EQ(lumo_queue_put(q_, item(1)), 1);
    ASSERT_EQ(lumo_queue_putfront(q_, item(2)), 1);
    ASSERT_EQ(lumo_queue_put(q_, item(3)), 1);
    ASSERT_EQ(lumo_queue_putfront(q_, item(4)), 1);
    EXPECT_EQ(lumo_queue_count(q_), 4);
    EXPECT_EQ(number(lumo_queue_get(q_, 0, 0)), 4u);
    EXPECT_EQ(number(lumo_queue_get(q_, 0, 0)), 2u);
    EXPECT_EQ(number(lumo_queue_get(q_, 0, 0)), 1u);
    put_all({5});  // behind the single item left
    EXPECT_EQ(drain(), (Items{3, 5}));
    ASSERT_EQ(lumo_queue_putfront(q_, item(6)), 1);
    put_all({7});
    {
        test::AllocFault fault(0);
        EXPECT_EQ(lumo_queue_put(q_, item(8)), 0);
        EXPECT_EQ(lumo_queue_putfront(q_, item(8)), 0);
    }
    EXPECT_EQ(lumo_queue_count(q_), 2);
    EXPECT_EQ(drain(), (Items{6, 7}));
}

TEST_F(Queue, GetOnEmptyPollsAtOnceOrWaitsTheTimeOut) {
    Stopwatch poll;
    EXPECT_EQ(lumo_queue_get(q_, 0, 60000), nullptr);  // the time-out is not looked at
    EXPECT_LT(poll.ms(), kLateMs);
    Stopwatch timed;
    EXPECT_EQ(lumo_queue_get(q_, 1, 300), nullptr);
    EXPECT_GE(timed.ms(), 300);
    EXPECT_LT(timed.ms(), 300 + kLateMs);
    EXPECT_EQ(sleeping_getters(), 0);
}

TEST_F(Queue, EachPutWakesExactlyOneSleepingGetter) {
    auto a = getter();
    auto b = getter();
    ASSERT_TRUE(wait_until([&] { return sleeping_getters() == 2; }));
    put_all({1});
    ASSERT_TRUE(wait_until([&] { return (ready(a) || ready(b)) && sleeping_getters() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(ready(a), ready(b));
    put_all({2});
    EXPECT_EQ(number(a.get()) + number(b.get()), 3u);  // one item each

    // A lone timed getter is woken as well. (Beside another getter it may
    // wake for the other's item and leave empty-handed, as a spurious wake.)
    auto timed = getter(60000);
    ASSERT_TRUE(wait_until([&] { return sleeping_getters() == 1; }));
    put_all({9});
    EXPECT_EQ(number(timed.get()), 9u);
}

TEST_F(Queue, CloseRefusesPutsAndReturnsOnceGettersHaveDrainedIt) {
    put_all({1, 2, 3});
    auto closed = closer();
    ASSERT_TRUE(wait_until([&] { return drain_waiters() == 1; }));
    EXPECT_EQ(lumo_queue_put(q_, item(4)), 0);
    EXPECT_EQ(lumo_queue_putfront(q_, item(4)), 0);
    EXPECT_EQ(number(lumo_queue_get(q_, 1, -1)), 1u);
    EXPECT_EQ(number(lumo_queue_get(q_, 1, -1)), 2u);
    EXPECT_NE(closed.wait_for(std::chrono::milliseconds(20)), std::future_status::ready);
    EXPECT_EQ(number(lumo_queue_get(q_, 1, -1)), 3u);
    EXPECT_EQ(closed.get(), 1);

    EXPECT_EQ(lumo_queue_close(q_), 0);
    Stopwatch watch;
    EXPECT_EQ(lumo_queue_get(q_, 1, -1), nullptr);  // closed and empty: no sleep
    EXPECT_LT(watch.ms(), kLateMs);
}

TEST_F(Queue, StopWakesEverySleepingGetterAndRefusesEverythingAfter) {
    auto a = getter();
    auto b = getter();
    ASSERT_TRUE(wait_until([&] { return sleeping_getters() == 2; }));
    EXPECT_EQ(lumo_queue_stop(q_), 1);
    EXPECT_EQ(sleeping_getters(), 0);  // stop returns only after both have left
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(b.get(), nullptr);
    EXPECT_EQ(lumo_queue_put(q_, item(1)), 0);
    EXPECT_EQ(lumo_queue_putfront(q_, item(1)), 0);
    EXPECT_EQ(lumo_queue_get(q_, 1, -1), nullptr);
    EXPECT_EQ(lumo_queue_close(q_), 0);
    EXPECT_EQ(lumo_queue_stop(q_), 0);
    EXPECT_EQ(lumo_queue_iterbegin(q_), 0);
}

TEST_F(Queue, StopLetsAWaitingCloseGoAndKeepsTheItemsFromGetters) {
    put_all({1});
    auto closed = closer();
    ASSERT_TRUE(wait_until([&] { return drain_waiters() == 1; }));
    EXPECT_EQ(lumo_queue_stop(q_), 1);
    // Gone from the wait before the stop returns: a destroy may follow at once.
    EXPECT_EQ(drain_waiters(), 0);
    EXPECT_EQ(closed.get(), 0);  // it could not drain
    EXPECT_EQ(lumo_queue_get(q_, 0, 0), nullptr);
    EXPECT_EQ(lumo_queue_count(q_), 1);  // freed by destroy
}

// A getter woken by puts of two items leaves one behind; the stop that meets
// it must still learn that it left. Holding the wake-up condition's internal
// lock (taken, as the library does, inside the queue's lock) lets the woken
// getter go on only once the stop has begun.
TEST_F(Queue, StopIsNotLeftWaitingByAGetterThatLeavesItemsBehind) {
    auto got = getter();
    ASSERT_TRUE(wait_until([&] { return sleeping_getters() == 1; }));
    Lock *wake_lock = Lock::from_native(q_->not_empty.lock);
    q_->lock->lock();
    wake_lock->lock();
    put_all({1, 2});
    q_->lock->unlock();
    auto stopped = std::async(std::launch::async, [this] { return lumo_queue_stop(q_); });
    bool stop_began = wait_until([&] { return q_->stopped.load() != 0; });
    // The stop holds the queue's lock until it sleeps; the getter needs it.
    wake_lock->unlock();
    ASSERT_TRUE(stop_began);
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "stop hangs after a getter left items behind";
    EXPECT_EQ(stopped.get(), 1);
    EXPECT_EQ(number(got.get()), 1u);
    EXPECT_EQ(lumo_queue_count(q_), 1);
}

std::vector<std::uintptr_t> g_freed;
void record_free(void *p) { g_freed.push_back(number(p)); }

TEST(QueueDestroy, WakesASleepingGetterFirstAndFreesEveryItemInQueueOrder) {
    lumo_queue *q = lumo_queue_create();
    ASSERT_NE(q, nullptr);
    auto got = std::async(std::launch::async, [q] { return lumo_queue_get(q, 1, -1); });
    ASSERT_TRUE(wait_until([&] {
        LockGuard guard(q->lock);
        return q->get_waiters == 1;
    }));
    EXPECT_EQ(lumo_queue_destroy(q, nullptr), 1);
    EXPECT_EQ(got.get(), nullptr);

    ASSERT_NE(q = lumo_queue_create(), nullptr);
    for (std::uintptr_t n : {1, 2, 3}) ASSERT_EQ(lumo_queue_put(q, item(n)), 1);
    ASSERT_EQ(lumo_queue_putfront(q, item(9)), 1);
    g_freed.clear();
    EXPECT_EQ(lumo_queue_destroy(q, record_free), 1);
    EXPECT_EQ(g_freed, (Items{9, 1, 2, 3}));
}

// Removes the item at `index` during a walk, then checks what the queue holds,
// including that later puts go last.
void check_removal(const Items &items, std::size_t index) {
    SCOPED_TRACE(::testing::Message() << items.size() << " items, removing #" << index);
    lumo_queue *q = lumo_queue_create();
    ASSERT_NE(q, nullptr);
    for (auto n : items) ASSERT_EQ(lumo_queue_put(q, item(n)), 1);
    if (!lumo_queue_iterbegin(q)) FAIL() << "iterbegin refused";
    EXPECT_EQ(lumo_queue_iterremove(q), 0);  // nothing under the cursor yet
    for (std::size_t i = 0; i <= index; ++i) EXPECT_EQ(number(lumo_queue_iternext(q)), items[i]);
    EXPECT_EQ(lumo_queue_iterremove(q), 1);
    EXPECT_EQ(lumo_queue_iterremove(q), 0);  // nor right after a removal
    for (std::size_t i = index + 1; i < items.size(); ++i)
        EXPECT_EQ(number(lumo_queue_iternext(q)), items[i]);
    EXPECT_EQ(lumo_queue_iternext(q), nullptr);
    EXPECT_EQ(lumo_queue_iterremove(q), 0);  // nor past the end
    lumo_queue_iterend(q);

    EXPECT_EQ(lumo_queue_count(q), static_cast<std::int32_t>(items.size() - 1));
    ASSERT_EQ(lumo_queue_put(q, item(100)), 1);
    ASSERT_EQ(lumo_queue_put(q, item(101)), 1);
    Items expected = items;
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(index));
    expected.push_back(100);
    expected.push_back(101);
    Items got;
    while (void *p = lumo_queue_get(q, 0, 0)) got.push_back(number(p));
    EXPECT_EQ(got, expected);
    lumo_queue_destroy(q, nullptr);
}

TEST(QueueIteration, RemovingFirstMiddleLastOrOnlyItemKeepsTheRestInOrder) {
    check_removal({1, 2, 3}, 0);
    check_removal({1, 2, 3}, 1);
    check_removal({1, 2, 3}, 2);
    check_removal({1, 2}, 1);
    check_removal({1}, 0);
}

TEST_F(Queue, IterationHoldsOffOtherThreadsAndWorksWhileClosing) {
    put_all({1});
    if (!lumo_queue_iterbegin(q_)) FAIL() << "iterbegin refused";
    auto put = std::async(std::launch::async, [this] { return lumo_queue_put(q_, item(2)); });
    EXPECT_NE(put.wait_for(std::chrono::milliseconds(50)), std::future_status::ready);
    EXPECT_EQ(lumo_queue_count(q_), 1);
    lumo_queue_iterend(q_);
    EXPECT_EQ(put.get(), 1);
    EXPECT_EQ(drain(), (Items{1, 2}));
    EXPECT_EQ(lumo_queue_close(q_), 1);
    if (!lumo_queue_iterbegin(q_)) FAIL() << "iterbegin refused";
    EXPECT_EQ(lumo_queue_iternext(q_), nullptr);
    lumo_queue_iterend(q_);
}

}  // namespace
}  // namespace vavevar
