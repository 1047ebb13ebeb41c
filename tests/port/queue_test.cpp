// The blocking queue. Items are small numbers cast to pointers; the queue
// never looks inside them.
#include "port/queue.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <future>
#include <initializer_list>
#include <thread>
#include <utility>
#include <vector>

#include "support/alloc_fault.h"
#include "support/threading.h"

namespace vavevar {
namespace {

using test::kLateMs;
using test::wait_until;
using Items = std::vector<std::uintptr_t>;

void *item(std::uintptr_t n) { return reinterpret_cast<void *>(n); }
std::uintptr_t number(void *p) { return reinterpret_cast<std::uintptr_t>(p); }
template <typename T>
bool ready(std::future<T> &f) { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
template <typename F>
auto in_thread(F f) { return std::async(std::launch::async, f); }

Items drain(lumo_queue *q) {
    Items out;
    while (void *p = lumo_queue_get(q, 0, 0)) out.push_back(number(p));
    return out;
}

Items g_freed;

class Queue : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(q_ = lumo_queue_create(), nullptr); }
    void TearDown() override { lumo_queue_destroy(q_, nullptr); }

    void put_all(std::initializer_list<std::uintptr_t> items) {
        for (auto n : items) ASSERT_TRUE(lumo_queue_put(q_, item(n)));
    }
    std::int32_t getters() { LockGuard guard(q_->lock); return q_->get_waiters; }
    std::int32_t drainers() { LockGuard guard(q_->lock); return q_->drain_waiters; }
    std::future<void *> getter(std::int32_t timeout_ms = -1) {
        return in_thread([this, timeout_ms] { return lumo_queue_get(q_, 1, timeout_ms); });
    }

    lumo_queue *q_ = nullptr;
};

// Wherever memory runs out (the record, its lock, either condition), creation
// gives null and leaves nothing behind; the leak checker looks.
TEST(QueueCreation, CreationThatRunsOutOfMemoryGivesNull) {
    lumo_queue *made = nullptr;
    int tried = test::for_each_allocation_failure([&] {
        made = lumo_queue_create();
        return made != nullptr;
    });
    EXPECT_GT(tried, 0);
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(lumo_queue_put(made, item(1)));
    EXPECT_EQ(number(lumo_queue_get(made, 0, 0)), 1u);
    EXPECT_TRUE(lumo_queue_destroy(made, nullptr));
}

TEST_F(Queue, PutsKeepTheirOrderWithPutFrontGoingFirst) {
    // Every shape the links can have: empty, one item, two, more.
    ASSERT_TRUE(lumo_queue_put(q_, item(1)));
    ASSERT_TRUE(lumo_queue_putfront(q_, item(2)));
    put_all({3});
    ASSERT_TRUE(lumo_queue_putfront(q_, item(4)));
    EXPECT_EQ(lumo_queue_count(q_), 4);
    for (std::uintptr_t n : {4, 2, 1}) EXPECT_EQ(number(lumo_queue_get(q_, 0, 0)), n);
    put_all({5});  // behind the single item left
    EXPECT_EQ(drain(q_), (Items{3, 5}));
    ASSERT_TRUE(lumo_queue_putfront(q_, item(6)));
    put_all({7});
    // Destroy frees what is left, head first.
    ASSERT_TRUE(lumo_queue_putfront(q_, item(9)));
    g_freed.clear();
    EXPECT_TRUE(lumo_queue_destroy(std::exchange(q_, nullptr), [](void *p) { g_freed.push_back(number(p)); }));
    EXPECT_EQ(g_freed, (Items{9, 6, 7}));
}

TEST_F(Queue, APutThatRunsOutOfMemoryChangesNothing) {
    put_all({1, 2});
    for (auto put : {lumo_queue_put, lumo_queue_putfront}) {
        test::AllocFault fault(0);
        EXPECT_FALSE(put(q_, item(3)));
    }
    EXPECT_EQ(lumo_queue_count(q_), 2);
    EXPECT_EQ(drain(q_), (Items{1, 2}));
}

TEST_F(Queue, DestroyWakesASleepingGetterFirst) {
    auto got = getter();
    ASSERT_TRUE(wait_until([&] { return getters() == 1; }));
    EXPECT_TRUE(lumo_queue_destroy(std::exchange(q_, nullptr), nullptr));
    EXPECT_EQ(got.get(), nullptr);
}

// That a put wakes only one getter does not show from outside, since another
// would go back to sleep; what must hold is that no put leaves its item
// queued while a getter sleeps.
TEST_F(Queue, EachPutWakesASleepingGetter) {
    auto a = getter();
    auto b = getter();
    ASSERT_TRUE(wait_until([&] { return getters() == 2; }));
    put_all({1});
    ASSERT_TRUE(wait_until([&] { return (ready(a) || ready(b)) && getters() == 1; }));
    put_all({2});
    EXPECT_EQ(number(a.get()) + number(b.get()), 3u);  // one item each

    // A lone timed getter waits out its time or is woken as well. (Beside
    // another getter it may wake for the other's item and leave empty-handed,
    // as a spurious wake.)
    test::Stopwatch watch;
    EXPECT_EQ(lumo_queue_get(q_, 1, 300), nullptr);
    EXPECT_GE(watch.ms(), 300);
    EXPECT_LT(watch.ms(), 300 + kLateMs);
    auto timed = getter(60000);
    ASSERT_TRUE(wait_until([&] { return getters() == 1; }));
    put_all({9});
    EXPECT_EQ(number(timed.get()), 9u);
}

TEST_F(Queue, CloseRefusesPutsUntilGettersHaveDrainedTheQueue) {
    put_all({1, 2, 3});
    auto closed = in_thread([this] { return lumo_queue_close(q_); });
    ASSERT_TRUE(wait_until([&] { return drainers() == 1; }));
    EXPECT_FALSE(lumo_queue_put(q_, item(4)));
    EXPECT_FALSE(lumo_queue_putfront(q_, item(4)));
    EXPECT_EQ(number(lumo_queue_get(q_, 1, -1)), 1u);
    EXPECT_EQ(number(lumo_queue_get(q_, 1, -1)), 2u);
    EXPECT_NE(closed.wait_for(std::chrono::milliseconds(20)), std::future_status::ready);
    EXPECT_EQ(number(lumo_queue_get(q_, 1, -1)), 3u);
    EXPECT_TRUE(closed.get());

    EXPECT_FALSE(lumo_queue_close(q_));
    test::Stopwatch watch;
    EXPECT_EQ(lumo_queue_get(q_, 1, -1), nullptr);  // closed and empty: no sleep
    EXPECT_LT(watch.ms(), kLateMs);
}

TEST_F(Queue, StopReleasesEverySleepingGetterForGood) {
    auto a = getter();
    auto b = getter();
    ASSERT_TRUE(wait_until([&] { return getters() == 2; }));
    EXPECT_TRUE(lumo_queue_stop(q_));
    EXPECT_EQ(getters(), 0);  // stop returns only after both have left
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(b.get(), nullptr);
    EXPECT_FALSE(lumo_queue_put(q_, item(1)));
    EXPECT_EQ(lumo_queue_get(q_, 1, -1), nullptr);
    EXPECT_FALSE(lumo_queue_stop(q_));
}

TEST_F(Queue, StopLetsAWaitingCloseGoWithoutHandingOutTheItems) {
    put_all({1});
    std::promise<pthread_t> closer_id;
    auto closed = in_thread([&] {
        closer_id.set_value(pthread_self());
        return lumo_queue_close(q_);
    });
    const pthread_t closer = closer_id.get_future().get();
    ASSERT_TRUE(wait_until([&] { return drainers() == 1; }));
    // On one processor, with the close at idle priority, the close runs again
    // only once the stop sleeps, so a stop that did not wait for it would
    // return with it still inside. A refused setting makes that less likely.
    cpu_set_t saved, one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    const bool pinned = sched_getaffinity(0, sizeof saved, &saved) == 0 && sched_setaffinity(0, sizeof one, &one) == 0;
    pthread_setaffinity_np(closer, sizeof one, &one);
    sched_param idle{};
    pthread_setschedparam(closer, SCHED_IDLE, &idle);
    EXPECT_TRUE(lumo_queue_stop(q_));
    // Gone from the wait before the stop returns: a destroy may follow at once.
    EXPECT_EQ(drainers(), 0);
    if (pinned) sched_setaffinity(0, sizeof saved, &saved);
    EXPECT_FALSE(closed.get());  // it could not drain
    EXPECT_EQ(lumo_queue_get(q_, 0, 0), nullptr);
    EXPECT_EQ(lumo_queue_count(q_), 1);  // freed by destroy
}

// A getter woken by puts of two items leaves one behind; the stop that meets
// it must still learn that it left. The puts are made under the queue's lock,
// so the woken getter and the stop both wait for it; whenever the stop takes
// it first (about half the rounds), it sleeps with that getter still counted.
TEST(QueueStop, IsNotLeftWaitingByAGetterThatLeavesItemsBehind) {
    for (int round = 0; round < 40; ++round) {
        lumo_queue *q = lumo_queue_create();
        ASSERT_NE(q, nullptr);
        auto got = in_thread([q] { return lumo_queue_get(q, 1, -1); });
        ASSERT_TRUE(wait_until([&] {
            LockGuard guard(q->lock);
            return q->get_waiters == 1;
        }));
        std::future<bool> stopped;
        {
            LockGuard guard(q->lock);
            ASSERT_TRUE(lumo_queue_put(q, item(1)));
            ASSERT_TRUE(lumo_queue_put(q, item(2)));
            stopped = in_thread([q] { return lumo_queue_stop(q); });
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready)
            << "stop hangs after a getter left items behind, round " << round;
        EXPECT_TRUE(stopped.get());
        EXPECT_EQ(number(got.get()), 1u);
        EXPECT_EQ(lumo_queue_count(q), 1);
        lumo_queue_destroy(q, nullptr);
    }
}

TEST(QueueIteration, RemovingFirstMiddleLastOrOnlyItemKeepsTheRestInOrder) {
    const struct {
        Items items;
        std::size_t index;
    } cases[] = {{{1, 2, 3}, 0}, {{1, 2, 3}, 1}, {{1, 2, 3}, 2}, {{1, 2}, 1}, {{1}, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.items.size() << " items, removing #" << c.index);
        lumo_queue *q = lumo_queue_create();
        for (auto n : c.items) ASSERT_TRUE(lumo_queue_put(q, item(n)));
        if (!lumo_queue_iterbegin(q)) FAIL() << "iterbegin refused";
        EXPECT_FALSE(lumo_queue_iterremove(q));  // nothing under the cursor yet
        for (std::size_t i = 0; i <= c.index; ++i) EXPECT_EQ(number(lumo_queue_iternext(q)), c.items[i]);
        EXPECT_TRUE(lumo_queue_iterremove(q));
        EXPECT_FALSE(lumo_queue_iterremove(q));  // nor right after a removal
        for (std::size_t i = c.index + 1; i < c.items.size(); ++i)
            EXPECT_EQ(number(lumo_queue_iternext(q)), c.items[i]);
        EXPECT_EQ(lumo_queue_iternext(q), nullptr);
        EXPECT_FALSE(lumo_queue_iterremove(q));  // nor past the end
        lumo_queue_iterend(q);
        // What is left keeps its order, and later puts go last.
        EXPECT_EQ(lumo_queue_count(q), static_cast<std::int32_t>(c.items.size() - 1));
        ASSERT_TRUE(lumo_queue_put(q, item(100)));
        ASSERT_TRUE(lumo_queue_put(q, item(101)));
        Items expected = c.items;
        expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(c.index));
        expected.insert(expected.end(), {100, 101});
        EXPECT_EQ(drain(q), expected);
        lumo_queue_destroy(q, nullptr);
    }
}

TEST_F(Queue, IterationHoldsOffOtherThreadsEvenWhileClosing) {
    put_all({1});
    if (!lumo_queue_iterbegin(q_)) FAIL() << "iterbegin refused";
    auto put = in_thread([this] { return lumo_queue_put(q_, item(2)); });
    EXPECT_NE(put.wait_for(std::chrono::milliseconds(50)), std::future_status::ready);
    EXPECT_EQ(lumo_queue_count(q_), 1);
    lumo_queue_iterend(q_);
    EXPECT_EQ(put.get(), 1);
    EXPECT_EQ(drain(q_), (Items{1, 2}));
    EXPECT_TRUE(lumo_queue_close(q_));
    if (!lumo_queue_iterbegin(q_)) FAIL() << "iterbegin refused";
    EXPECT_EQ(lumo_queue_iternext(q_), nullptr);
    lumo_queue_iterend(q_);
}

// Many producers and consumers: every item arrives exactly once, each
// producer's items reach any one consumer in the order they were put, and a
// stop amid the traffic loses nothing. Items carry producer and sequence.
constexpr std::uintptr_t kThreads = 4;
constexpr std::uintptr_t kPerProducer = 25000;
void *encode(std::uintptr_t producer, std::uintptr_t seq) { return item((seq + 1) * kThreads + producer); }

TEST_F(Queue, StressEveryItemIsDeliveredExactlyOnceInProducerOrder) {
    std::atomic<bool> closed{false};
    std::vector<Items> got(kThreads);
    std::vector<std::thread> consumers, producers;
    for (std::uintptr_t c = 0; c < kThreads; ++c) {
        consumers.emplace_back([&, c] {
            // Half the consumers sleep without limit, half in short timed waits.
            const std::int32_t timeout = c % 2 == 0 ? -1 : 5;
            for (;;) {
                if (void *p = lumo_queue_get(q_, 1, timeout)) got[c].push_back(number(p));
                else if (timeout < 0 || closed.load()) return;  // untimed: null only once closed
            }
        });
        producers.emplace_back([&, c] {
            for (std::uintptr_t i = 0; i < kPerProducer; ++i) ASSERT_TRUE(lumo_queue_put(q_, encode(c, i)));
        });
    }
    for (auto &t : producers) t.join();
    EXPECT_TRUE(lumo_queue_close(q_));  // returns once the consumers drained it
    closed.store(true);
    EXPECT_TRUE(lumo_queue_stop(q_));
    for (auto &t : consumers) t.join();

    std::vector<int> seen(kThreads * kPerProducer, 0);
    for (const Items &items : got) {
        Items last(kThreads, 0);
        for (std::uintptr_t n : items) {
            const std::uintptr_t producer = n % kThreads, seq = n / kThreads;  // seq from 1
            ASSERT_GT(seq, last[producer]) << "producer " << producer << " out of order";
            last[producer] = seq;
            seen[producer * kPerProducer + seq - 1] += 1;
        }
    }
    for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], 1) << "item " << i;
}

std::atomic<int> g_freed_by_destroy{0};

TEST_F(Queue, StressAStopAmidTrafficLosesNothing) {
    std::atomic<int> accepted{0}, delivered{0};
    std::vector<std::thread> threads;
    for (std::uintptr_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (lumo_queue_get(q_, 1, -1) != nullptr) delivered.fetch_add(1);
        });
        // Some items jump the line; they must not get lost either. A refused
        // item stays with the producer.
        threads.emplace_back([&, t] {
            for (std::uintptr_t i = 0;; ++i, accepted.fetch_add(1))
                if (!(i % 7 == 0 ? lumo_queue_putfront : lumo_queue_put)(q_, encode(t, i))) return;
        });
    }
    g_freed_by_destroy = 0;
    while (accepted.load() < 50000) std::this_thread::yield();
    EXPECT_TRUE(lumo_queue_stop(q_));
    for (auto &t : threads) t.join();
    EXPECT_TRUE(lumo_queue_destroy(std::exchange(q_, nullptr), [](void *) { g_freed_by_destroy.fetch_add(1); }));
    EXPECT_EQ(delivered.load() + g_freed_by_destroy.load(), accepted.load());
}

}  // namespace
}  // namespace vavevar
