// Hand-off rate between two threads through the blocking queue, next to the
// same hand-off through a plain std::mutex + std::condition_variable queue:
// what the library's condition variable costs.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "port/queue.h"

namespace vavevar {
namespace {

class LumoQueue {
public:
    LumoQueue() : q_(lumo_queue_create()) {}
    ~LumoQueue() { vavevar::lumo_queue_destroy(q_, nullptr); }
    bool ok() const { return q_ != nullptr; }
    void put(void *item) { vavevar::lumo_queue_put(q_, item); }
    void *get() { return vavevar::lumo_queue_get(q_, 1, -1); }

private:
    lumo_queue *q_;
};

class StdQueue {
public:
    bool ok() const { return true; }
    void put(void *item) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            items_.push_back(item);
        }
        not_empty_.notify_one();
    }
    void *get() {
        std::unique_lock<std::mutex> lock(mutex_);
        not_empty_.wait(lock, [this] { return !items_.empty(); });
        void *item = items_.front();
        items_.pop_front();
        return item;
    }

private:
    std::mutex mutex_;
    std::condition_variable not_empty_;
    std::deque<void *> items_;
};

// The benchmark's thread is the consumer; one item per iteration.
template <typename Queue>
void BM_Handoff(benchmark::State &state) {
    Queue queue;
    if (!queue.ok()) {
        state.SkipWithError("queue creation failed");
        return;
    }
    const auto items = static_cast<std::uintptr_t>(state.max_iterations);
    std::thread producer([&] {
        for (std::uintptr_t i = 1; i <= items; ++i) queue.put(reinterpret_cast<void *>(i));
    });
    for (auto _ : state) benchmark::DoNotOptimize(queue.get());
    producer.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_TEMPLATE(BM_Handoff, LumoQueue)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Handoff, StdQueue)->UseRealTime();

// One item bounces between two threads through two queues, so that every
// hand-off finds the other side asleep and has to wake it. Two hand-offs per
// iteration.
template <typename Queue>
void BM_PingPong(benchmark::State &state) {
    Queue there, back;
    if (!there.ok() || !back.ok()) {
        state.SkipWithError("queue creation failed");
        return;
    }
    void *ball = reinterpret_cast<void *>(std::uintptr_t{1});
    void *end = reinterpret_cast<void *>(std::uintptr_t{2});
    std::thread echo([&] {
        for (void *item = there.get(); item != end; item = there.get()) back.put(item);
    });
    for (auto _ : state) {
        there.put(ball);
        benchmark::DoNotOptimize(back.get());
    }
    there.put(end);
    echo.join();
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK_TEMPLATE(BM_PingPong, LumoQueue)->UseRealTime();
BENCHMARK_TEMPLATE(BM_PingPong, StdQueue)->UseRealTime();

}  // namespace
}  // namespace vavevar
