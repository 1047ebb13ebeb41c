// The replay window of a freshly started daemon: events published before a
// library had subscribed again reach that resubscription, in order, as
// replayed messages right after its status answer; a first subscription gets
// none, nor does any subscription once the window has closed.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "daemon_harness.h"

namespace vavevard {
namespace {

using test::DaemonThread;
using test::Message;
using test::outbound_event;
using test::RawClient;

std::string resubscribe_request(int id, const std::string &filter) {
    std::string r = RawClient::subscribe_request(id, filter);
    return r.insert(r.find("\r\n") + 2, "Resubscribe: true\r\n");
}

bool stat_reaches(RawClient &asker, const std::string &name, const std::string &value, int waitMs = 5000) {
    for (int i = 0; i < waitMs / 10; ++i) {
        if (asker.stat(name) == value) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Every byte of a message but its delivery time, which says when it was sent.
std::string without_delivery_time(std::string raw) {
    std::size_t at = raw.find("\r\ndeliveryTime: ");
    return at == std::string::npos ? raw : raw.replace(at + 16, 13, 13, '#');
}

TEST(DaemonReplay, AResubscriptionGetsTheHeldEventsItMatchesInOrderAfterItsStatusAndBeforeLiveOnes) {
    constexpr int kWindowMs = 1500;
    DaemonThread daemon({}, nullptr, ReplayWindow{kWindowMs, 1024 * 1024});
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon.ok());
    RawClient live(daemon.port()), pub(daemon.port()), back(daemon.port()), plain(daemon.port()),
        asker(daemon.port());
    ASSERT_TRUE(live.handshake() && pub.handshake() && back.handshake() && plain.handshake());
    ASSERT_TRUE(live.subscribe(1, "A"));
    for (auto [type, id] : {std::pair{"A", "pub:1"}, {"B", "pub:2"}, {"A", "pub:3"}}) {
        auto e = outbound_event(type);
        e.event_id = id;
        e.property_lines = {"k: " + std::string(id)};
        e.body = std::string("body of ") + id;
        ASSERT_TRUE(pub.send(e.bytes()));
    }
    ASSERT_TRUE(stat_reaches(asker, "eventsIn", "3"));
    Message first, third;
    ASSERT_TRUE(live.read_message(first) && live.read_message(third));

    Message m;
    ASSERT_TRUE(back.send(resubscribe_request(5, "A")) && back.read_message(m));
    EXPECT_EQ(m.get("Result"), "success");
    for (const Message *original : {&first, &third}) {
        ASSERT_TRUE(back.read_message(m));
        std::string expected = original->raw;
        expected.replace(0, std::string("POST /event HTTP/1.1\r\n").size(), "POST /replay HTTP/1.1\r\n");
        expected.replace(expected.find("SubscriberID: 1\r\n"), 17, "SubscriberID: 5\r\n");
        EXPECT_EQ(without_delivery_time(m.raw), without_delivery_time(expected));
    }
    // A subscription made for the first time is not replayed anything.
    ASSERT_TRUE(plain.subscribe(1, "A"));
    EXPECT_TRUE(plain.quiet());
    auto e = outbound_event("A");
    e.event_id = "pub:4";
    ASSERT_TRUE(pub.send(e.bytes()));
    ASSERT_TRUE(back.read_message(m));
    EXPECT_EQ(m.raw.substr(0, 22), "POST /event HTTP/1.1\r\n");
    EXPECT_EQ(m.get("eventId"), "pub:4");
    EXPECT_TRUE(plain.read_message(m) && m.get("eventId") == "pub:4");
    EXPECT_EQ(asker.stat("eventsHeld"), "4");
    EXPECT_EQ(asker.stat("eventsReplayed"), "2");
    EXPECT_EQ(asker.stat("eventsNotHeld"), "0");

    // Once the window has passed, nothing is held, and nothing replayed.
    std::this_thread::sleep_until(started + std::chrono::milliseconds(kWindowMs));
    ASSERT_TRUE(stat_reaches(asker, "replayHeldEvents", "0"));
    e.event_id = "pub:5";
    ASSERT_TRUE(pub.send(e.bytes()));
    ASSERT_TRUE(stat_reaches(asker, "eventsIn", "5"));
    RawClient late(daemon.port());
    ASSERT_TRUE(late.handshake() && late.send(resubscribe_request(9, "A")) && late.read_message(m));
    EXPECT_EQ(m.get("Result"), "success");
    EXPECT_TRUE(late.quiet());
    EXPECT_EQ(asker.stat("eventsHeld"), "4");
    EXPECT_EQ(asker.stat("eventsReplayed"), "2");
}

// What does not fit in the window's bytes is counted and never replayed; what
// was held before it still is, in order.
TEST(DaemonReplay, EventsBeyondTheWindowsBytesAreCountedAndNotReplayed) {
    DaemonThread daemon({}, nullptr, ReplayWindow{60 * 1000, 8 * 1024});
    ASSERT_TRUE(daemon.ok());
    RawClient pub(daemon.port()), back(daemon.port()), asker(daemon.port());
    ASSERT_TRUE(pub.handshake() && back.handshake());
    constexpr int kEvents = 10;
    for (int i = 0; i < kEvents; ++i) {
        auto e = outbound_event("A");
        e.event_id = "pub:" + std::to_string(i);
        e.body = std::string(2000, 'x');
        ASSERT_TRUE(pub.send(e.bytes()));
    }
    ASSERT_TRUE(stat_reaches(asker, "eventsIn", std::to_string(kEvents)));
    long held = std::stol(asker.stat("eventsHeld"));
    EXPECT_GT(held, 0);
    EXPECT_LT(held, kEvents);
    EXPECT_EQ(std::stol(asker.stat("eventsNotHeld")), kEvents - held);
    Message m;
    ASSERT_TRUE(back.send(resubscribe_request(1, "A")) && back.read_message(m));
    for (long i = 0; i < held; ++i) {
        ASSERT_TRUE(back.read_message(m));
        EXPECT_EQ(m.get("eventId"), "pub:" + std::to_string(i));
    }
    EXPECT_TRUE(back.quiet());
}

}  // namespace
}  // namespace vavevard
