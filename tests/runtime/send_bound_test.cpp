// The send queue's bound: publishes past it wait, then drop and count; room
// that comes back wakes a waiting publisher at once and a stop lets it go;
// what was accepted is never dropped, not even when a failed write puts it
// back; and the process counters and link events follow what happens.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pubsub/publisher.h"
#include "runtime/event_footprint.h"
#include "runtime/flow_observer.h"
#include "runtime/send_budget.h"
#include "support/runtime_fixture.h"
#include "support/threading.h"

namespace vavevar::test {
namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;

lumo_process_counters counters() {
    lumo_process_counters c{};
    EXPECT_EQ(::lumo_get_process_counters(&c), 0);
    return c;
}

// Flow events as the observer saw them, by kind.
std::atomic<std::uint64_t> g_flow[6];

void record_flow(std::int32_t kind, std::uint64_t count) noexcept {
    if (kind > 0 && kind < 6) g_flow[kind].fetch_add(count);
}

// Events numbered by type ("e0", "e1", ...), each body ending in 'E' so that
// a cut one shows.
std::string numbered(int i) { return "e" + std::to_string(i); }

int number_of(const Request &r) { return std::stoi(r.header("eventType").value_or("e-1").substr(1)); }

class SendBound : public RuntimeTest {
protected:
    void TearDown() override {
        flow_observer_set(nullptr);
        RuntimeTest::TearDown();
    }

    // The library against the fake daemon (or `port`), with the given bound
    // and wait, and a publisher; flow events are recorded from here on.
    void start(std::size_t max_bytes, std::uint32_t wait_ms, std::uint16_t port = 0) {
        max_env_ = std::make_unique<ScopedEnv>("VAVEVAR_SEND_MAX_BYTES", std::to_string(max_bytes).c_str());
        wait_env_ = std::make_unique<ScopedEnv>("VAVEVAR_SEND_WAIT_MS", std::to_string(wait_ms).c_str());
        if (port == 0) {
            start_connected();
        } else {
            ASSERT_EQ(::lumo_init_with_port(port), 0);
        }
        for (auto &kind : g_flow) kind.store(0);
        flow_observer_set(record_flow);
        // Not lumo_publisher_create, which would wait for a link that may not come.
        publisher_ = lumo_publisher_new("bound", PublisherOptions{});
        ASSERT_NE(publisher_, nullptr);
    }

    void publish(int i, std::size_t body_size) {
        std::string body(body_size, 'b');
        if (body_size > 0) body.back() = 'E';
        ::lumo_publisher_publish(publisher_, ::lumo_notification_create(numbered(i).c_str(), body.data(),
                                                                         static_cast<std::int32_t>(body_size)));
    }

    // Every event the daemon read, once `count` have come.
    std::vector<Request> received(std::size_t count) {
        EXPECT_TRUE(daemon.wait_for_requests(Request::Kind::event, count, std::chrono::seconds(30)));
        return daemon.requests(Request::Kind::event);
    }

    lumo_publisher *publisher_ = nullptr;

private:
    std::unique_ptr<ScopedEnv> max_env_, wait_env_;
};

// A publisher thread that runs until it has published `count` events or is
// told to end: `done` tells how far it got. (A publish in progress when the
// library stops is let go; none may start after that.)
class PublishingThread {
public:
    PublishingThread(std::function<void(int)> publish, int count)
        : thread_([this, publish, count] {
              for (int i = 0; i < count && !end.load(); ++i) {
                  publish(i);
                  done.store(i + 1);
              }
              finished_at.store(std::chrono::steady_clock::now().time_since_epoch().count());
          }) {}
    ~PublishingThread() {
        if (thread_.joinable()) thread_.join();
    }
    PublishingThread(const PublishingThread &) = delete;
    PublishingThread &operator=(const PublishingThread &) = delete;

    // True once the thread has made no progress for 300 ms without finishing.
    bool blocked() {
        for (Stopwatch watch; watch.ms() < 20000;) {
            int seen = done.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (finished_at.load() != 0) return false;
            if (done.load() == seen) return true;
        }
        return false;
    }
    void join() { thread_.join(); }

    std::atomic<bool> end{false};
    std::atomic<int> done{0};
    std::atomic<std::int64_t> finished_at{0};

private:
    std::thread thread_;
};

std::int64_t now_ticks() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

std::int64_t ticks_to_ms(std::int64_t ticks) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::duration(ticks))
        .count();
}

TEST_F(SendBound, ASlowDaemonKeepsTheQueueWithinItsBoundAndTheRestIsDroppedAndCounted) {
    constexpr std::size_t kBound = 1 * kMiB;
    constexpr std::size_t kBody = 256 * kKiB;
    constexpr int kEvents = 128;  // 32 MiB: far more than the socket buffers and the bound
    start(kBound, 0);
    daemon.stop_reading();
    std::uint64_t most = 0;
    for (int i = 0; i < kEvents; ++i) {
        publish(i, kBody);
        most = std::max(most, counters().send_queue_bytes);
    }
    EXPECT_LE(most, kBound);
    lumo_process_counters after = counters();
    EXPECT_EQ(after.published, static_cast<std::uint64_t>(kEvents));
    EXPECT_GT(after.dropped_at_send, 0u);
    EXPECT_EQ(g_flow[LUMO_FLOW_SEND_DROPPED].load(), after.dropped_at_send);

    // Everything accepted arrives, once each, whole and in order.
    daemon.resume_reading();
    const std::size_t accepted = kEvents - after.dropped_at_send;
    std::vector<Request> events = received(accepted);
    ASSERT_EQ(events.size(), accepted);
    int last = -1;
    for (const Request &r : events) {
        EXPECT_GT(number_of(r), last);
        last = number_of(r);
        EXPECT_EQ(r.body.size(), kBody);
        EXPECT_EQ(r.body.back(), 'E');
    }
    EXPECT_TRUE(wait_until([] { return counters().send_queue_bytes == 0; }));
    EXPECT_EQ(counters().dropped_at_send, after.dropped_at_send);
}

TEST_F(SendBound, APublishThatFindsNoRoomWaitsItsTimeAndNoLonger) {
    constexpr std::int64_t kWaitMs = 300;
    start(1 * kMiB, kWaitMs);
    daemon.stop_reading();
    int i = 0;
    // Accepted ones return at once; the first that finds the queue full waits.
    while (counters().dropped_at_send == 0 && i < 200) publish(i++, 256 * kKiB);
    ASSERT_EQ(counters().dropped_at_send, 1u);
    for (int k = 0; k < 2; ++k) {
        Stopwatch watch;
        publish(i++, 256 * kKiB);
        EXPECT_GE(watch.ms(), kWaitMs);
        EXPECT_LT(watch.ms(), kWaitMs + kLateMs);
    }
    EXPECT_EQ(counters().dropped_at_send, 3u);
    daemon.resume_reading();  // for a quick stop
}

TEST_F(SendBound, AWaitingPublisherGoesOnAsSoonAsRoomComes) {
    start(1 * kMiB, 30000);
    daemon.stop_reading();
    constexpr int kEvents = 96;  // 24 MiB
    PublishingThread publisher([this](int i) { publish(i, 256 * kKiB); }, kEvents);
    ASSERT_TRUE(publisher.blocked());
    EXPECT_LE(counters().send_queue_bytes, 1 * kMiB);
    const std::int64_t resumed = now_ticks();
    daemon.resume_reading();
    // Long before its 30 s of waiting were up, and nothing dropped.
    const bool finished = wait_until([&] { return publisher.finished_at.load() != 0; },
                                     std::chrono::milliseconds(kLateMs));
    EXPECT_TRUE(finished);
    if (!finished) {
        publisher.end.store(true);
        ::lumo_shutdown_nowait();  // lets it go
        return;
    }
    publisher.join();
    EXPECT_LT(ticks_to_ms(publisher.finished_at.load() - resumed), kLateMs);
    EXPECT_EQ(counters().dropped_at_send, 0u);
    EXPECT_EQ(received(kEvents).size(), static_cast<std::size_t>(kEvents));
}

TEST_F(SendBound, AStopLetsAWaitingPublisherGoAtOnce) {
    for (bool drain : {false, true}) {
        SCOPED_TRACE(drain ? "lumo_shutdown" : "lumo_shutdown_nowait");
        daemon.resume_reading();
        start(1 * kMiB, 30000);
        daemon.stop_reading();
        PublishingThread publisher([this](int i) { publish(i, 256 * kKiB); }, 1000);
        ASSERT_TRUE(publisher.blocked());
        publisher.end.store(true);
        const std::int64_t stopped = now_ticks();
        std::atomic<std::int64_t> stop_ms{-1};
        std::thread stopper([&] {
            Stopwatch watch;
            drain ? ::lumo_shutdown() : ::lumo_shutdown_nowait();
            stop_ms.store(watch.ms());
        });
        publisher.join();
        EXPECT_LT(ticks_to_ms(publisher.finished_at.load() - stopped), kPromptMs);
        EXPECT_LT(publisher.done.load(), 1000);
        // The publisher left while the stop still waited on the daemon; let
        // the stop end without sitting out its grace period.
        daemon.resume_reading();
        stopper.join();
        EXPECT_LT(stop_ms.load(), kStopBoundMs);
    }
}

TEST_F(SendBound, WithNoDaemonTheQueueStaysWithinTheBoundToo) {
    constexpr std::size_t kBound = 1 * kMiB;
    start(kBound, 0, unused_port());
    for (int i = 0; i < 64; ++i) publish(i, 64 * kKiB);  // 4 MiB
    lumo_process_counters c = counters();
    EXPECT_EQ(c.link_up, 0);
    EXPECT_EQ(c.published, 64u);
    EXPECT_LE(c.send_queue_bytes, kBound);
    // All but what the bound holds were dropped: the queued events' room and
    // one more would not fit.
    const std::uint64_t queued = c.published - c.dropped_at_send;
    EXPECT_GT(queued, 0u);
    EXPECT_GT(c.send_queue_bytes + c.send_queue_bytes / queued, kBound);
}

TEST_F(SendBound, AnEventLargerThanTheBoundGoesAloneWhenNothingElseIsQueued) {
    start(64 * kKiB, 0);
    publish(0, 1 * kMiB);
    ASSERT_EQ(received(1).size(), 1u);
    EXPECT_EQ(counters().dropped_at_send, 0u);
}

// The write cut off by the lost link goes back ahead of the queue, over the
// bound if need be, and is written whole with everything accepted behind it.
TEST_F(SendBound, AFailedWriteIsPutBackWithoutDroppingAnything) {
    constexpr std::size_t kBig = 8 * kMiB;
    start(12 * kMiB, 0);
    daemon.stop_reading();
    publish(0, kBig);  // the sender blocks inside it
    ASSERT_TRUE(wait_until([] { return counters().send_queue_bytes >= kBig; }));
    for (int i = 1; i <= 12; ++i) publish(i, 512 * kKiB);
    const lumo_process_counters before = counters();
    ASSERT_GT(before.dropped_at_send, 0u);
    const std::size_t accepted = 13 - before.dropped_at_send;
    ASSERT_TRUE(daemon.drop());
    daemon.resume_reading();
    std::vector<Request> events;
    ASSERT_TRUE(wait_until(
        [&] {
            events.clear();
            for (const Request &r : daemon.requests(Request::Kind::event))
                if (r.connection == 1) events.push_back(r);
            return events.size() >= accepted;
        },
        std::chrono::seconds(30)));
    ASSERT_EQ(events.size(), accepted);
    EXPECT_EQ(number_of(events[0]), 0);
    EXPECT_EQ(events[0].body.size(), kBig);
    EXPECT_EQ(events[0].body.back(), 'E');
    for (std::size_t k = 1; k < events.size(); ++k) EXPECT_GT(number_of(events[k]), number_of(events[k - 1]));
    EXPECT_EQ(counters().dropped_at_send, before.dropped_at_send);
}

TEST_F(SendBound, CountersAndLinkEventsFollowTheLink) {
    EXPECT_EQ(::lumo_get_process_counters(nullptr), -1);
    lumo_process_counters unused{};
    EXPECT_EQ(::lumo_get_process_counters(&unused), -1);  // not started
    start(1 * kMiB, 0);
    lumo_process_counters c = counters();
    EXPECT_EQ(c.link_up, 1);
    EXPECT_EQ(c.reconnects, 0u);
    EXPECT_EQ(c.published, 0u);
    EXPECT_EQ(::lumo_get_process_counters(nullptr), -1);

    for (int i = 0; i < 3; ++i) publish(i, 10);
    ASSERT_EQ(received(3).size(), 3u);
    c = counters();
    EXPECT_EQ(c.published, 3u);
    EXPECT_EQ(c.dropped_at_send, 0u);
    EXPECT_TRUE(wait_until([] { return counters().send_queue_bytes == 0; }));

    ASSERT_TRUE(daemon.drop());
    ASSERT_TRUE(wait_until([] { return g_flow[LUMO_FLOW_LINK_DOWN].load() == 1; }));
    ASSERT_TRUE(wait_until([] { return counters().reconnects == 1; }));
    EXPECT_EQ(counters().link_up, 1);
    EXPECT_TRUE(wait_until([] { return g_flow[LUMO_FLOW_LINK_UP].load() == 1; }));
    EXPECT_EQ(g_flow[LUMO_FLOW_LINK_DOWN].load(), 1u);

    // A stop is not a lost link.
    ::lumo_shutdown();
    EXPECT_EQ(g_flow[LUMO_FLOW_LINK_DOWN].load(), 1u);
    EXPECT_EQ(::lumo_get_process_counters(&unused), -1);
}

TEST_F(SendBound, TheLimitsComeFromTheEnvironmentAtStartUp) {
    struct Case {
        const char *max_bytes, *wait_ms;
        std::uint64_t limit;
        std::uint32_t wait;
    };
    for (const Case &k : {Case{nullptr, nullptr, kSendMaxBytesDefault, kSendWaitMsDefault},
                          Case{"1048576", "0", 1 * kMiB, 0},
                          Case{"0", "60001", kSendMaxBytesDefault, kSendWaitMsDefault},
                          Case{"12k", "-5", kSendMaxBytesDefault, kSendWaitMsDefault},
                          Case{"8589934592", "60000", std::uint64_t{8} << 30, 60000}}) {
        ScopedEnv max_bytes("VAVEVAR_SEND_MAX_BYTES", k.max_bytes);
        ScopedEnv wait("VAVEVAR_SEND_WAIT_MS", k.wait_ms);
        ASSERT_EQ(::lumo_init_with_port(unused_port()), 0);
        EXPECT_EQ(lumo_send_budget_limit(), k.limit) << (k.max_bytes ? k.max_bytes : "unset");
        EXPECT_EQ(lumo_send_budget_wait_ms(), k.wait) << (k.wait_ms ? k.wait_ms : "unset");
        ::lumo_shutdown_nowait();
    }
}

TEST(EventFootprint, CountsTheBlocksAndWhatWasAllocatedApart) {
    EXPECT_EQ(lumo_heap_chunk(0), 32u);
    EXPECT_EQ(lumo_heap_chunk(24), 32u);
    EXPECT_EQ(lumo_heap_chunk(25), 48u);
    EXPECT_EQ(lumo_heap_chunk(100000), 100016u);

    lumo_notification *small = ::lumo_notification_create("t", nullptr, 0);
    lumo_notification *large = ::lumo_notification_create("t", std::string(100000, 'x').data(), 100000);
    const std::uint64_t bare = lumo_event_footprint(small);
    EXPECT_GT(bare, sizeof(lumo_notification));
    EXPECT_GE(lumo_event_footprint(large), bare + 100000);
    EXPECT_LE(lumo_event_footprint(large), bare + 100000 + 32);

    // A property is allocated apart: its node and both texts.
    ::lumo_notification_setProperty(small, "name", std::string(1000, 'v').c_str());
    EXPECT_EQ(lumo_event_footprint(small),
              bare + lumo_heap_chunk(sizeof(lumo_propnode)) + lumo_heap_chunk(5) + lumo_heap_chunk(1001));
    // A stamp too long for the record's room gets a block of its own.
    const std::uint64_t before = lumo_event_footprint(large);
    const std::string component(300, 'c');
    ASSERT_TRUE(lumo_notification_stampForPublish(large, component.c_str(), "node", "proc", "id", 0));
    EXPECT_EQ(lumo_event_footprint(large), before + lumo_heap_chunk(301 + 5 + 5 + 3));
    lumo_notification_destroy(small);
    lumo_notification_destroy(large);
}

}  // namespace
}  // namespace vavevar::test
