// The sender: order, rewriting after a lost connection, purging unsubscribes,
// and stops that drain, discard, or give up on a daemon that stopped reading.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <string>

#include "pubsub/subreq.h"
#include "support/alloc_fault.h"
#include "support/runtime_fixture.h"
#include "support/threading.h"
#include "runtime/lifecycle.h"
#include "runtime/sender.h"

namespace vavevar::test {
namespace {

lumo_notification *event(const std::string &type, std::size_t body_size = 0) {
    std::string body(body_size, 'b');
    if (body_size > 0) body.back() = 'E';
    return ::lumo_notification_create(type.c_str(), body.data(), static_cast<int32_t>(body_size));
}

void queue_event(const std::string &type, std::size_t body_size = 0) {
    ASSERT_TRUE(lumo_sender_enqueue_event(event(type, body_size)));
}

std::vector<std::string> event_types(const std::vector<Request> &requests, std::size_t connection) {
    std::vector<std::string> types;
    for (const Request &r : requests)
        if (r.connection == connection) types.push_back(r.header("eventType").value_or("?"));
    return types;
}

class Sender : public RuntimeTest {};

TEST_F(Sender, EventsQueuedBeforeTheFirstHandshakeGoOutInOrderAfterIt) {
    daemon.queue_handshake_reply(std::nullopt);  // the first connection hangs
    ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
    for (int i = 0; i < 5; ++i) queue_event("e" + std::to_string(i));
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 1));
    EXPECT_FALSE(daemon.wait_for_requests(Request::Kind::event, 1, std::chrono::milliseconds(200)));
    ASSERT_TRUE(daemon.drop());  // the handshake fails; the retry succeeds
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 5));
    EXPECT_EQ(event_types(daemon.requests(Request::Kind::event), 1),
              (std::vector<std::string>{"e0", "e1", "e2", "e3", "e4"}));
}

TEST_F(Sender, AMessageThatFindsNoMemoryIsWrittenLaterOnTheSameConnection) {
    start_connected();
    queue_event("small");
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 1));  // the sender is idle now
    lumo_notification *big = event("big", 100 << 10);
    {
        // The enqueue allocates nothing (the queue reuses the small event's
        // place); the sender's buffer then cannot grow for the body.
        AllocFault fault(0);
        ASSERT_TRUE(lumo_sender_enqueue_event(big));
        EXPECT_FALSE(daemon.wait_for_requests(Request::Kind::event, 2, std::chrono::milliseconds(300)));
    }
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 2));
    EXPECT_EQ(daemon.requests(Request::Kind::event).back().body.size(), std::size_t{100 << 10});
    EXPECT_EQ(daemon.connections(), 1u);
}

class StalledSender : public RuntimeTest {
protected:
    // Blocks the sender in the middle of a large event: the daemon stops
    // reading, so the send fills the socket buffers and waits.
    void stall_in_big_event() {
        start_connected();
        daemon.stop_reading();
        queue_event("big", kBig);
    }
    static constexpr std::size_t kBig = 8 << 20;
};

TEST_F(StalledSender, AnEventCutOffByALostLinkIsWrittenAgainFirstAndWhole) {
    stall_in_big_event();
    queue_event("kept");
    ASSERT_TRUE(daemon.drop());
    daemon.resume_reading();
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 2, std::chrono::seconds(20)));
    auto events = daemon.requests(Request::Kind::event);
    EXPECT_EQ(event_types(events, 1), (std::vector<std::string>{"big", "kept"}));
    for (const Request &r : events)
        if (r.connection == 1 && r.header("eventType") == "big") {
            EXPECT_EQ(r.body.size(), kBig);
            EXPECT_EQ(r.body.back(), 'E');
        }
}

// A connection lost in the middle of batched writes (the daemon stops
// reading after 100 events, so the sender is left blocked inside a batch,
// then drops it):
// what the daemon read on the first connection is a prefix, and the second
// carries on from a later message to the last, each whole and once.
// Messages the kernel took whole but the daemon never read are lost with the
// connection, as with any socket, so the second may start a little later.
TEST_F(Sender, ABatchCutByALostLinkGoesOnWholeAndInOrderOnTheNext) {
    start_connected();
    constexpr int kEvents = 1200;
    constexpr std::size_t kBody = 16 << 10;  // a few to a batch, some cut by it
    for (int i = 0; i < 100; ++i) queue_event("e" + std::to_string(i), kBody);
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 100, std::chrono::seconds(20)));
    daemon.stop_reading();
    for (int i = 100; i < kEvents; ++i) queue_event("e" + std::to_string(i), kBody);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(daemon.drop());
    daemon.resume_reading();
    const std::string last = "e" + std::to_string(kEvents - 1);
    std::vector<Request> events;
    for (Stopwatch watch; watch.ms() < 20000; std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        events = daemon.requests(Request::Kind::event);
        if (events.back().header("eventType") == last) break;
    }

    int expected = 0;
    std::size_t first_connection = 0;
    for (const Request &r : events) {
        ASSERT_EQ(r.body.size(), kBody);
        ASSERT_EQ(r.body.back(), 'E');
        int number = std::stoi(r.header("eventType").value_or("e-1").substr(1));
        if (r.connection == 0) {
            ASSERT_EQ(number, expected) << "the first connection's events are a prefix";
            ++first_connection;
        } else {
            ASSERT_EQ(r.connection, 1u);
            // Nothing the daemon read is written again; nothing after is skipped.
            if (expected == static_cast<int>(first_connection)) ASSERT_GE(number, expected);
            else ASSERT_EQ(number, expected);
        }
        expected = number + 1;
    }
    EXPECT_EQ(expected, kEvents);
    EXPECT_GE(first_connection, 100u);
    EXPECT_LT(first_connection, static_cast<std::size_t>(kEvents) / 2) << "the link went mid-stream";
}

// The daemon forgets a connection's subscriptions with it, so an unsubscribe
// queued for the lost connection means nothing to the next one.
TEST_F(StalledSender, UnsubscribesQueuedForALostLinkArePurged) {
    stall_in_big_event();
    ASSERT_TRUE(lumo_subreq_enqueue(lumo_subreq_unsubscribe(4)));
    queue_event("kept");
    ASSERT_TRUE(lumo_subreq_enqueue(lumo_subreq_unsubscribe(5)));
    ASSERT_TRUE(daemon.drop());
    daemon.resume_reading();
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 2, std::chrono::seconds(20)));
    EXPECT_EQ(event_types(daemon.requests(Request::Kind::event), 1), (std::vector<std::string>{"big", "kept"}));
    ::lumo_shutdown();  // drains whatever might still be queued
    EXPECT_TRUE(daemon.requests(Request::Kind::unsubscribe).empty());
}

TEST_F(StalledSender, ShutdownGivesUpOnADaemonThatStoppedReading) {
    stall_in_big_event();
    queue_event("never");
    Stopwatch watch;
    ::lumo_shutdown();
    std::int64_t waited = watch.ms();
    EXPECT_GE(waited, kSenderGraceMs - 500);
    EXPECT_LT(waited, kStopBoundMs);  // the bound the header states
}

TEST_F(StalledSender, ShutdownWithoutWaitingGivesUpAsWell) {
    stall_in_big_event();
    Stopwatch watch;
    ::lumo_shutdown_nowait();
    EXPECT_LT(watch.ms(), kStopBoundMs);  // the bound the header states
}

TEST_F(Sender, ShutdownWritesEverythingQueuedFirst) {
    start_connected();
    for (int i = 0; i < 200; ++i) queue_event("drain" + std::to_string(i), 100);
    ::lumo_shutdown();
    EXPECT_TRUE(daemon.wait_for_requests(Request::Kind::event, 200));
    auto events = daemon.requests(Request::Kind::event);
    ASSERT_EQ(events.size(), 200u);
    EXPECT_EQ(events.back().header("eventType"), "drain199");
}

TEST_F(Sender, NothingIsTakenOnceTheLibraryIsStopped) {
    EXPECT_FALSE(lumo_sender_enqueue_event(event("late")));  // destroyed, not leaked
    lumo_subreq *request = lumo_subreq_unsubscribe(1);
    EXPECT_FALSE(lumo_subreq_enqueue(request));
    lumo_subreq_free(request);  // still ours
    EXPECT_FALSE(lumo_sender_enqueue_event(nullptr));
}

}  // namespace
}  // namespace vavevar::test
