// Flow control on the receiving side against a scripted daemon: the bound on
// a subscriber's delivery queue, the bounded mode-1 callback threads, gap
// notices, replayed events, the resubscription marker, and the flow handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pubsub/callback_pool.h"
#include "pubsub/flow_limits.h"
#include "pubsub/subscriber.h"
#include "runtime/flow_observer.h"
#include "support/pubsub_fixture.h"
#include "support/threading.h"
#include "wire/event_texts.h"
#include "wire/flow_texts.h"

namespace vavevar::test {
namespace {

constexpr char kIncoming[] = "IncomingStreamingNotification";

lumo_subscriber_counters counters_of(lumo_subscriber *s) {
    lumo_subscriber_counters c{};
    EXPECT_EQ(::lumo_subscriber_get_counters(s, &c), 0);
    return c;
}

// What the flow handler was told, kind by kind.
struct Heard {
    std::mutex mutex;
    std::vector<std::int32_t> kinds;
    std::atomic<std::uint64_t> count[6]{};
    std::atomic<int> calls{0};
    std::atomic<lumo_subscriber *> subject{nullptr};
    std::atomic<bool> closeSubject{false};

    static void handler(std::int32_t kind, lumo_subscriber *s, std::uint64_t count, void *raw) {
        auto *heard = static_cast<Heard *>(raw);
        {
            std::lock_guard<std::mutex> guard(heard->mutex);
            heard->kinds.push_back(kind);
        }
        // No library lock is held: the runtime's lock can be taken here.
        if (lumo_runtime *rt = lumo_runtime_current()) {
            LockGuard guard(rt->lock);
        }
        if (kind > 0 && kind < 6) heard->count[kind] += count;
        if (s != nullptr) heard->subject = s;
        if (s != nullptr && heard->closeSubject.exchange(false)) ::lumo_subscriber_close(s);
        heard->calls += 1;
    }
};

class Flow : public PubSubTest {
protected:
    void SetUp() override {
        PubSubTest::SetUp();
        s = subscribe();
        t = subscribe();
        ASSERT_TRUE(s && t);
    }
    void TearDown() override {
        ::lumo_set_flow_handler(nullptr, nullptr);
        for (lumo_subscriber *open : {s, t})
            if (open != nullptr) ::lumo_subscriber_close(open);
        PubSubTest::TearDown();
    }

    void send(std::int32_t id, const std::string &type, const std::string &body = "",
              const std::string &eventId = "", bool replay = false, const std::string &key = "") {
        InboundEvent event;
        event.subscriber_ids = std::to_string(id);
        event.event_type = type;
        event.body = body;
        event.event_id = eventId.empty() ? type : eventId;
        if (!key.empty()) {
            event.class_name = kIncoming;
            event.stream_key = key;
        }
        std::string bytes = event.bytes();
        if (replay) bytes.replace(0, wire::kEventLine.size(), wire::kReplayLine);
        ASSERT_TRUE(daemon.send(bytes));
    }
    void send_gap(std::int32_t id, std::uint64_t skipped) {
        ASSERT_TRUE(daemon.send(std::string(wire::kGapLine) + "SubscriberID: " + std::to_string(id) + "\r\n" +
                                std::string(wire::kSkipped) + std::to_string(skipped) + "\r\n\r\n"));
    }
    // Waits until the subscriber has counted `total` notifications one way or another.
    bool settled(lumo_subscriber *x, std::uint64_t total) {
        return wait_until([&] {
            lumo_subscriber_counters c = counters_of(x);
            return c.received + c.dropped + c.duplicates >= total;
        });
    }

    lumo_subscriber *s = nullptr;  // identifier 1
    lumo_subscriber *t = nullptr;  // identifier 2
};

TEST_F(Flow, ASubscriberPastItsBoundDropsTheNewestWhileItsNeighbourGetsEverything) {
    ASSERT_EQ(::lumo_subscriber_set_limits(s, 10, 0), 0);
    for (int i = 0; i < 40; ++i) {
        send(1, "s" + std::to_string(i));
        send(2, "t" + std::to_string(i));
    }
    ASSERT_TRUE(settled(s, 40));
    // The neighbour is not held up by the full one, and loses nothing.
    for (int i = 0; i < 40; ++i) ASSERT_EQ(next_type(t), "t" + std::to_string(i));
    lumo_subscriber_counters c = counters_of(s);
    EXPECT_EQ(c.received, 10u);
    EXPECT_EQ(c.dropped, 30u);
    EXPECT_EQ(counters_of(t).dropped, 0u);
    // The oldest were kept, in order; taking them makes room again.
    for (int i = 0; i < 10; ++i) ASSERT_EQ(next_type(s), "s" + std::to_string(i));
    send(1, "later");
    EXPECT_EQ(next_type(s), "later");
    EXPECT_EQ(counters_of(s).received, 11u);

    // The byte bound counts bodies; a limit below one keeps the bound it had.
    const std::string body(10000, 'x');
    ASSERT_EQ(::lumo_subscriber_set_limits(s, 0, 25000), 0);
    for (int i = 0; i < 5; ++i) send(1, "big" + std::to_string(i), body);
    ASSERT_TRUE(settled(s, 46));
    EXPECT_EQ(counters_of(s).received, 13u);
    EXPECT_EQ(counters_of(s).dropped, 33u);
    ASSERT_EQ(::lumo_subscriber_set_limits(s, -1, 1 << 20), 0);
    for (int i = 0; i < 9; ++i) send(1, "more" + std::to_string(i), body);
    ASSERT_TRUE(settled(s, 55));
    EXPECT_EQ(counters_of(s).received, 21u);  // ten queued: the message bound held
}

TEST_F(Flow, AStreamPastTheBoundIsCutAndItsRestCountsAsDropped) {
    ASSERT_EQ(::lumo_subscriber_set_limits(s, 4, 0), 0);
    // The representative and three blocks fill the bound; the fourth block cuts it.
    for (const char *body : {"b0", "b1", "b2", "b3", "b4", "b5"}) send(1, "stream", body, "", false, "k");
    send(1, "stream", "", "", false, "k");  // its end marker
    send(1, "stream", "n0", "", false, "k2");  // a stream of the same subscriber after it
    ASSERT_TRUE(settled(s, 8));
    lumo_subscriber_counters c = counters_of(s);
    EXPECT_EQ(c.received, 3u + 1u);
    EXPECT_EQ(c.dropped, 4u);  // three blocks and the end marker
    lumo_notification *n = ::lumo_subscriber_receive(s, 1, 5000);
    ASSERT_NE(n, nullptr);
    lumo_instream *in = ::lumo_notification_getInputStream(n);
    ASSERT_NE(in, nullptr);
    std::string read;
    char buffer[64];
    for (std::int32_t got; (got = ::lumo_instream_read(in, buffer, sizeof buffer)) > 0;)
        read.append(buffer, static_cast<std::size_t>(got));
    EXPECT_EQ(read, "b0b1b2");  // the prefix that fitted, then the end
    ::lumo_instream_close(&in);
    ::lumo_subscriber_relinquish(s, n);
    // Past the end marker the key is free again; the next stream arrived whole.
    lumo_notification *next = ::lumo_subscriber_receive(s, 1, 5000);
    ASSERT_NE(next, nullptr);
    lumo_instream *second = ::lumo_notification_getInputStream(next);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(::lumo_instream_read(second, buffer, sizeof buffer), 2);
    ::lumo_instream_close(&second);
    ::lumo_subscriber_relinquish(s, next);
}

// The process's bounds come from the environment when the library starts; a
// value that is not a positive whole number leaves the default.
class BoundsFromTheEnvironment : public Flow {
protected:
    ScopedEnv messages_{"VAVEVAR_SUB_MAX_MESSAGES", "3"};
    ScopedEnv bytes_{"VAVEVAR_SUB_MAX_BYTES", "12k"};
    ScopedEnv threads_{"VAVEVAR_CALLBACK_THREADS", "-5"};
};

TEST_F(BoundsFromTheEnvironment, EverySubscriberStartsWithTheProcesssBounds) {
    EXPECT_EQ(s->maxMessages.load(), 3);
    EXPECT_EQ(s->maxBytes.load(), std::int64_t{64} << 20);
    EXPECT_EQ(lumo_flow_limits().callbackThreads, 64);
    for (int i = 0; i < 5; ++i) send(2, "t" + std::to_string(i));
    ASSERT_TRUE(settled(t, 5));
    EXPECT_EQ(counters_of(t).received, 3u);
    EXPECT_EQ(counters_of(t).dropped, 2u);
}

// The pool's bound comes from the environment when the library starts.
class BoundedCallbacks : public Flow {
protected:
    ScopedEnv threads_{"VAVEVAR_CALLBACK_THREADS", "4"};
    ScopedEnv messages_{"VAVEVAR_SUB_MAX_MESSAGES", "100000"};
};

struct Concurrency {
    std::atomic<int> running{0}, most{0}, calls{0};
    std::mutex mutex;
    std::vector<std::string> types;
    static void callback(lumo_notification *n, void *raw) {
        auto *c = static_cast<Concurrency *>(raw);
        int now = ++c->running;
        for (int seen = c->most.load(); now > seen && !c->most.compare_exchange_weak(seen, now);) {
        }
        {
            std::lock_guard<std::mutex> guard(c->mutex);
            c->types.emplace_back(::lumo_notification_type(n));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --c->running;
        c->calls += 1;
    }
};

TEST_F(BoundedCallbacks, ModeOneRunsEveryCallbackOnAtMostTheBoundOfThreadsAtOnce) {
    Concurrency c;
    ASSERT_EQ(::lumo_subscriber_registercallback(s, Concurrency::callback, &c, 1), 0);
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i) send(1, "e" + std::to_string(i));
    int most_pool = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            most_pool = std::max(most_pool, lumo_callback_pool_threads());
            return c.calls.load() == kCount;
        },
        std::chrono::seconds(30)));
    EXPECT_LE(c.most.load(), 4);
    EXPECT_LE(most_pool, 4);
    EXPECT_GE(c.most.load(), 2);  // still a thread per notification, several at once
    std::vector<std::string> types = c.types;
    std::sort(types.begin(), types.end());
    EXPECT_EQ(std::unique(types.begin(), types.end()), types.end());  // each once
    EXPECT_EQ(counters_of(s).received, static_cast<std::uint64_t>(kCount));
    // Idle threads linger a moment, then end.
    EXPECT_TRUE(wait_until([&] { return lumo_callback_pool_threads() == 0; }));
    EXPECT_EQ(lumo_queue_count(s->queue), 0);
    EXPECT_EQ(s->queuedMessages.load(), 0);
    EXPECT_EQ(s->queuedBytes.load(), 0);
}

TEST_F(Flow, AGapNoticeIsCountedToldAndEndsTheStreamsBeingAssembled) {
    Heard heard;
    ASSERT_EQ(::lumo_set_flow_handler(Heard::handler, &heard), 0);
    send(1, "stream", "before", "", false, "k");
    send_gap(1, 1234);
    send_gap(7, 5);  // nobody's: ignored
    send(1, "stream", "after", "", false, "k");  // its stream was ended: dropped
    send(1, "stream", "", "", false, "k");
    send(1, "plain");
    ASSERT_TRUE(settled(s, 4));
    lumo_subscriber_counters c = counters_of(s);
    EXPECT_EQ(c.dropped_by_daemon, 1234u);
    EXPECT_EQ(c.received, 2u);
    EXPECT_EQ(c.dropped, 2u);
    EXPECT_TRUE(wait_until([&] { return heard.count[LUMO_FLOW_GAP].load() == 1234; }));
    EXPECT_EQ(heard.subject.load(), s);
    lumo_notification *n = ::lumo_subscriber_receive(s, 1, 5000);
    ASSERT_NE(n, nullptr);
    lumo_instream *in = ::lumo_notification_getInputStream(n);
    char buffer[64];
    EXPECT_EQ(::lumo_instream_read(in, buffer, sizeof buffer), 6);
    EXPECT_EQ(::lumo_instream_read(in, buffer, sizeof buffer), 0);  // ended, not waiting
    ::lumo_instream_close(&in);
    ::lumo_subscriber_relinquish(s, n);
    EXPECT_EQ(next_type(s), "plain");
}

TEST_F(Flow, AReplayOfAnEventAlreadyDeliveredIsDroppedOnlyWhenReplayed) {
    send(1, "a", "", "id-a");
    send(1, "a-again", "", "id-a");  // not replayed: delivered as ever
    send(1, "a-replayed", "", "id-a", true);
    send(1, "b-replayed", "", "id-b", true);  // never had: delivered
    send(1, "b-replayed-twice", "", "id-b", true);
    send(2, "a-for-t", "", "id-a", true);  // the record is per subscriber
    ASSERT_TRUE(settled(s, 5));
    EXPECT_EQ(next_type(s), "a");
    EXPECT_EQ(next_type(s), "a-again");
    EXPECT_EQ(next_type(s), "b-replayed");
    EXPECT_EQ(next_type(t), "a-for-t");
    EXPECT_EQ(::lumo_subscriber_receive(s, 0, 0), nullptr);
    lumo_subscriber_counters c = counters_of(s);
    EXPECT_EQ(c.duplicates, 2u);
    EXPECT_EQ(c.received, 3u);
}

TEST_F(Flow, OnlyASubscriptionMadeAgainAfterAReconnectionIsMarked) {
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::subscribe, 2));
    for (const Request &r : daemon.requests(Request::Kind::subscribe)) EXPECT_FALSE(r.header("Resubscribe"));
    ASSERT_TRUE(daemon.drop());
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::subscribe, 4, std::chrono::seconds(15)));
    std::vector<Request> all = daemon.requests(Request::Kind::subscribe);
    for (std::size_t i = 2; i < all.size(); ++i) EXPECT_EQ(all[i].get("Resubscribe"), "true");
    lumo_subscriber *fresh = subscribe();
    ASSERT_NE(fresh, nullptr);
    all = daemon.requests(Request::Kind::subscribe);
    EXPECT_FALSE(all.back().header("Resubscribe"));
    ::lumo_subscriber_close(fresh);
}

// A link lost and made again at once may land in one batch of the handler's
// calls; it is still told going before coming back. (Drops told per burst are
// heard across processes in the flow integration test.)
TEST_F(Flow, TheHandlerHearsTheLinkGoDownBeforeItComesBack) {
    Heard heard;
    ASSERT_EQ(::lumo_set_flow_handler(Heard::handler, &heard), 0);
    ASSERT_TRUE(daemon.drop());
    EXPECT_TRUE(wait_until(
        [&] { return heard.count[LUMO_FLOW_LINK_DOWN] >= 1 && heard.count[LUMO_FLOW_LINK_UP] >= 1; },
        std::chrono::seconds(15)));
    std::lock_guard<std::mutex> guard(heard.mutex);
    auto down = std::find(heard.kinds.begin(), heard.kinds.end(), LUMO_FLOW_LINK_DOWN);
    EXPECT_LT(down, std::find(heard.kinds.begin(), heard.kinds.end(), LUMO_FLOW_LINK_UP));
}

TEST_F(Flow, TheHandlerHearsTheRuntimeMayCloseTheSubscriberItIsToldOfAndIsQuietOnceReplaced) {
    Heard heard;
    ASSERT_EQ(::lumo_set_flow_handler(Heard::handler, &heard), 0);
    flow_observe(LUMO_FLOW_SEND_DROPPED, 3);  // the runtime's reports go through the observer
    EXPECT_TRUE(wait_until([&] { return heard.count[LUMO_FLOW_SEND_DROPPED].load() == 3; }));
    heard.closeSubject = true;
    ASSERT_EQ(::lumo_subscriber_set_limits(s, 1, 0), 0);
    for (int i = 0; i < 20; ++i) send(1, "x" + std::to_string(i));
    ASSERT_TRUE(wait_until([&] { return heard.subject.load() == s && !heard.closeSubject.load(); }));
    s = nullptr;  // closed by the handler
    // Replaced: once the call returns, the old handler hears nothing more.
    Heard second;
    ASSERT_EQ(::lumo_subscriber_set_limits(t, 1, 0), 0);
    ASSERT_EQ(::lumo_set_flow_handler(Heard::handler, &second), 0);
    const int before = heard.calls.load();
    for (int i = 0; i < 20; ++i) send(2, "y" + std::to_string(i));
    ASSERT_TRUE(wait_until([&] { return second.count[LUMO_FLOW_DROPPED].load() == 19; }));
    EXPECT_EQ(heard.calls.load(), before);
    ASSERT_EQ(::lumo_set_flow_handler(nullptr, nullptr), 0);
    const int after = second.calls.load();
    for (int i = 0; i < 20; ++i) send(2, "z" + std::to_string(i));
    ASSERT_TRUE(settled(t, 40));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(second.calls.load(), after);
}

// A handler that shuts the library down from inside its call neither hangs
// nor is called again.
TEST_F(Flow, TheHandlerMayShutTheLibraryDown) {
    struct Stopper {
        std::atomic<int> calls{0};
        static void handler(std::int32_t, lumo_subscriber *, std::uint64_t, void *raw) {
            auto *stopper = static_cast<Stopper *>(raw);
            if (stopper->calls++ == 0) ::lumo_shutdown_nowait();
        }
    };
    Stopper stopper;
    ASSERT_EQ(::lumo_set_flow_handler(Stopper::handler, &stopper), 0);
    flow_observe(LUMO_FLOW_SEND_DROPPED, 1);
    ASSERT_TRUE(wait_until([&] { return lumo_runtime_current() == nullptr; }));
    s = t = nullptr;  // released by the shutdown
    flow_observe(LUMO_FLOW_SEND_DROPPED, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(stopper.calls.load(), 1);
    EXPECT_EQ(::lumo_set_flow_handler(Heard::handler, nullptr), -1);  // nothing left to tell
}

}  // namespace
}  // namespace vavevar::test
