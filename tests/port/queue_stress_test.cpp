// Many producers and consumers over one queue: every item is delivered
// exactly once, each producer's items in the order it put them, and a stop in
// the middle of the traffic loses nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "port/queue.h"

namespace vavevar {
namespace {

constexpr int kProducers = 4;
constexpr int kConsumers = 4;
constexpr std::uintptr_t kPerProducer = 25000;

// Items carry their producer and sequence number; never null.
void *encode(std::uintptr_t producer, std::uintptr_t seq) {
    return reinterpret_cast<void *>((seq + 1) * kProducers + producer);
}
std::uintptr_t producer_of(void *p) { return reinterpret_cast<std::uintptr_t>(p) % kProducers; }
std::uintptr_t seq_of(void *p) { return reinterpret_cast<std::uintptr_t>(p) / kProducers - 1; }

struct Consumer {
    std::vector<void *> got;
    std::int64_t last[kProducers] = {-1, -1, -1, -1};
    bool in_order = true;  // each producer's items come to one consumer in put order

    void take(void *p) {
        std::int64_t seq = static_cast<std::int64_t>(seq_of(p));
        in_order = in_order && seq > last[producer_of(p)];
        last[producer_of(p)] = seq;
        got.push_back(p);
    }
};

TEST(QueueStress, EveryItemIsDeliveredExactlyOnceInProducerOrder) {
    lumo_queue *q = lumo_queue_create();
    ASSERT_NE(q, nullptr);
    std::atomic<bool> closed{false};
    std::vector<Consumer> consumers(kConsumers);
    std::vector<std::thread> threads;
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&, c] {
            for (;;) {
                // Half the consumers sleep without limit, half in short timed waits.
                void *p = vavevar::lumo_queue_get(q, 1, c % 2 == 0 ? -1 : 5);
                if (p != nullptr) {
                    consumers[static_cast<std::size_t>(c)].take(p);
                } else if (c % 2 == 0 || closed.load()) {
                    return;  // an untimed get returns null only once the queue closes
                }
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (std::uintptr_t i = 0; i < kPerProducer; ++i)
                ASSERT_EQ(vavevar::lumo_queue_put(q, encode(static_cast<std::uintptr_t>(p), i)), 1);
        });
    }
    for (auto &t : producers) t.join();
    EXPECT_EQ(vavevar::lumo_queue_close(q), 1);  // returns once the consumers drained it
    closed.store(true);
    EXPECT_EQ(vavevar::lumo_queue_stop(q), 1);
    for (auto &t : threads) t.join();

    std::vector<int> seen(kProducers * kPerProducer, 0);
    for (auto &c : consumers) {
        EXPECT_TRUE(c.in_order);
        for (void *p : c.got) seen[producer_of(p) * kPerProducer + seq_of(p)] += 1;
    }
    for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], 1) << "item " << i;
    EXPECT_EQ(vavevar::lumo_queue_destroy(q, nullptr), 1);
}

std::atomic<int> g_freed_by_destroy{0};

TEST(QueueStress, AStopAmidTrafficLosesNothing) {
    lumo_queue *q = lumo_queue_create();
    ASSERT_NE(q, nullptr);
    std::atomic<int> accepted{0}, delivered{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&] {
            while (vavevar::lumo_queue_get(q, 1, -1) != nullptr) delivered.fetch_add(1);
        });
    }
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (std::uintptr_t i = 0;; ++i) {
                // Some items jump the line; they must not get lost either.
                void *item = encode(static_cast<std::uintptr_t>(p), i);
                std::int32_t ok = i % 7 == 0 ? vavevar::lumo_queue_putfront(q, item)
                                             : vavevar::lumo_queue_put(q, item);
                if (ok == 0) return;  // refused: the item stays with the producer
                accepted.fetch_add(1);
            }
        });
    }
    while (accepted.load() < 50000) std::this_thread::yield();
    EXPECT_EQ(vavevar::lumo_queue_stop(q), 1);
    for (auto &t : threads) t.join();
    g_freed_by_destroy = 0;
    EXPECT_EQ(vavevar::lumo_queue_destroy(q, [](void *) { g_freed_by_destroy.fetch_add(1); }), 1);
    EXPECT_EQ(delivered.load() + g_freed_by_destroy.load(), accepted.load());
}

}  // namespace
}  // namespace vavevar
