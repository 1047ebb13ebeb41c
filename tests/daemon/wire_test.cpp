// The daemon on the wire: the real server on its own thread, raw loopback
// sockets as clients, and the client library's own event writer and reader to
// prove both sides agree on every byte.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

#include "clock.h"
#include "daemon_harness.h"
#include "notification/event_write.h"
#include "port/memory.h"
#include "runtime/inbound_parser.h"

namespace vavevard {
namespace {

using test::body_block_items;
using test::DaemonThread;
using test::Message;
using test::outbound_event;
using test::RawClient;

// Replaces the digits of both time headers with "T", returning them.
std::string without_times(std::string raw, std::int64_t *creation = nullptr, std::int64_t *delivery = nullptr) {
    std::int64_t ignored[2];
    for (auto [name, out] : {std::pair{"creationTime: ", creation ? creation : &ignored[0]},
                             std::pair{"deliveryTime: ", delivery ? delivery : &ignored[1]}}) {
        std::size_t at = raw.find(name) + 14, end = raw.find("\r\n", at);
        *out = std::stoll(raw.substr(at, end - at));
        raw.replace(at, end - at, "T");
    }
    return raw;
}

class DaemonWire : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.ok()) << daemon.error();
        ASSERT_TRUE(sub.handshake() && pub.handshake());
    }
    DaemonThread daemon;
    RawClient sub{daemon.port()}, pub{daemon.port()};
    Message m;
};

TEST_F(DaemonWire, HandshakeReplyIsByteExact) {
    for (bool ipv6 : {false, true}) {
        RawClient c(daemon.port(), ipv6);
        if (ipv6 && !c.ok()) GTEST_SKIP() << "no IPv6 loopback on this machine";
        ASSERT_TRUE(c.handshake(m, "Pid=99; Home=/srv/x"));
        std::string raw = m.raw;
        raw.replace(raw.find("ClientId: ") + 10, raw.find("\r\nDaemonId") - raw.find("ClientId: ") - 10, "N");
        EXPECT_EQ(raw, "POST /connect HTTP/1.1\r\nVersion: 4\r\nResult: success\r\nMessage: connected\r\n"
                       "daemonVersion: vavevard test\r\nSelfId: Pid=99; Home=/srv/x\r\nClientId: N\r\n"
                       "DaemonId: testhost:1\r\ninstanceName: alpha\r\n\r\n");
    }
}

// A refused subscription is answered, and gets nothing.
TEST_F(DaemonWire, EverySubscribeIsAnswered) {
    ASSERT_TRUE(sub.subscribe(3, "ALARM/*", m));
    EXPECT_EQ(m.raw, "POST /status HTTP/1.1\r\nResult: success\r\nSubscriberID: 3\r\nMessage: subscribed\r\n\r\n");
    ASSERT_TRUE(sub.subscribe(4, "type = (", m));
    EXPECT_EQ(m.raw, "POST /status HTTP/1.1\r\nResult: failure\r\nSubscriberID: 4\r\nMessage: invalid "
                     "subscription: at character 8: expected a value after '=', found '('\r\n\r\n");
    ASSERT_TRUE(pub.send(outbound_event("(").bytes()));
    EXPECT_EQ(pub.stat("eventsUnmatched"), "1");
    EXPECT_TRUE(sub.quiet());
}

TEST_F(DaemonWire, AnEventArrivesInTheInboundLayoutWithOneIdAndBothTimes) {
    ASSERT_TRUE(sub.subscribe(7, "ALARM/*"));
    auto e = outbound_event();
    e.local_only = "true";
    e.property_lines = {"b: 2", "a: 1"};
    e.body = std::string("he\0lo", 5);
    std::int64_t before = now_ms(), creation = 0, delivery = 0;
    ASSERT_TRUE(pub.send(e.bytes()));
    ASSERT_TRUE(sub.read_message(m));
    EXPECT_EQ(without_times(m.raw, &creation, &delivery),
              "POST /event HTTP/1.1\r\nclassName: MessageNotification\r\nSubscriberID: 7\r\n"
              "eventType: ALARM/DISK\r\neventId: host:1:0-1\r\ncreationTime: T\r\ndeliveryTime: T\r\n"
              "affectedComponents: db\r\naffectedNodes: node1\r\ngeneratingComponent: monitor\r\n"
              "generatingProcess: host:1\r\ngeneratingNode: host\r\ninstanceName: alpha\r\nLocalOnly: true\r\n"
              "numberOfProperties: 3\r\nb: 2\r\na: 1\r\nvavevard.publisherUid: " + std::to_string(::geteuid()) +
                  "\r\nContent-Length: 5\r\nAddrList-Length: 0\r\n\r\n" +
                  std::string("he\0lo", 5));
    EXPECT_LE(before, creation);
    EXPECT_LE(creation, delivery);
    EXPECT_LE(delivery, now_ms());
}

// The library's writer produces what the daemon parses, and its reader takes
// what the daemon writes, header names skipped by length and all.
TEST_F(DaemonWire, TheClientLibraryWriterAndReaderAgreeWithTheDaemon) {
    ASSERT_TRUE(sub.subscribe(2, "prop.colour = blue"));
    lumo_notification *n = vavevar::lumo_notification_create("PAINT/DONE", "xyz", 3);
    vavevar::lumo_notification_setProperty(n, "colour", "blue");
    vavevar::lumo_notification_stampForPublish(n, "painter", "host", "host:77", "host:771", 0);
    vavevar::ByteBuffer out;
    ASSERT_TRUE(vavevar::lumo_event_write(n, "alpha", 5, out));
    vavevar::lumo_notification_destroy(n);
    ASSERT_TRUE(pub.send(std::string(out.data(), out.size())));

    ASSERT_TRUE(sub.read_message(m));
    vavevar::InboundParser parser(false);
    ASSERT_TRUE(parser.feed(m.raw.data(), m.raw.size()));
    vavevar::InboundMessage in;
    ASSERT_EQ(parser.next(in), vavevar::InboundParser::Status::ready);
    ASSERT_EQ(in.kind, vavevar::InboundMessage::Kind::event);
    lumo_notification *got = in.notification;
    ASSERT_EQ(in.idCount, 1);
    EXPECT_EQ(in.ids[0], 2);
    EXPECT_STREQ(got->id, "host:771");
    EXPECT_STREQ(got->generatingComponent, "painter");
    EXPECT_STREQ(vavevar::lumo_notification_getProperty(got, "colour"), "blue");
    EXPECT_EQ(std::string(got->body, static_cast<std::size_t>(got->bodyLength)), "xyz");
    EXPECT_GE(got->deliveryTime, got->creationTime);
    EXPECT_EQ(parser.next(in), vavevar::InboundParser::Status::need_more);  // nothing left over
    vavevar::lumo_free(in.ids);
    vavevar::lumo_notification_destroy(got);
}

TEST_F(DaemonWire, EachMatchingSubscriptionGetsItsOwnMessageThePublisherIncluded) {
    ASSERT_TRUE(pub.subscribe(1, "ALARM/*"));
    ASSERT_TRUE(sub.subscribe(1, "ALARM/* and prop.site = lab"));
    ASSERT_TRUE(sub.subscribe(2, "null"));
    ASSERT_TRUE(sub.subscribe(3, "OTHER"));
    auto e = outbound_event();
    e.property_lines = {"site: lab"};
    ASSERT_TRUE(pub.send(e.bytes()));
    for (auto [client, id] : {std::pair{&pub, "1"}, std::pair{&sub, "1"}, std::pair{&sub, "2"}}) {
        ASSERT_TRUE(client->read_message(m));
        EXPECT_EQ(m.get("SubscriberID"), id);
    }
    EXPECT_TRUE(sub.quiet());
    // An unsubscribe is not answered, and nothing more arrives for it.
    ASSERT_TRUE(pub.send("POST /unsubscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 1\r\n\r\n"));
    ASSERT_TRUE(pub.send(e.bytes()));
    ASSERT_TRUE(sub.read_message(m) && sub.read_message(m));
    EXPECT_TRUE(pub.quiet());
    EXPECT_EQ(pub.stat("subscriptions"), "3");
}

TEST_F(DaemonWire, EachPublishersEventsArriveInTheOrderSent) {
    RawClient other(daemon.port());
    ASSERT_TRUE(other.handshake());
    ASSERT_TRUE(sub.subscribe(1, "SEQ/*"));
    constexpr int kEach = 300;
    std::string burst[2];
    for (int i = 0; i < kEach; ++i) {
        for (int p = 0; p < 2; ++p) {
            auto e = outbound_event("SEQ/" + std::to_string(p));
            e.property_lines = {"n: " + std::to_string(i)};
            burst[p] += e.bytes();
        }
    }
    std::thread second([&] { other.send(burst[1]); });
    ASSERT_TRUE(pub.send(burst[0]));
    second.join();
    int next[2] = {0, 0};
    for (int i = 0; i < 2 * kEach; ++i) {
        ASSERT_TRUE(sub.read_message(m)) << "after " << i;
        int p = m.get("eventType") == "SEQ/0" ? 0 : 1;
        ASSERT_EQ(m.get("n"), std::to_string(next[p]++)) << m.get("eventType");
    }
    EXPECT_TRUE(sub.quiet());
}

// An outgoing stream is keyed by its id and ends with an empty block; a
// short-form class stays short, and a class no reader knows is dropped.
TEST_F(DaemonWire, StreamAndShortFormClassesAreRoutedInOrder) {
    ASSERT_TRUE(sub.subscribe(1, "STREAM/*"));
    auto block = outbound_event("STREAM/FILE");
    block.class_name = "IncomingStreamingNotification";
    block.stream_key = "host:1:0-9";
    block.body = "abc";
    auto outgoing = block;
    outgoing.class_name = "OutgoingStreamingNotification";
    outgoing.event_id = "host:1:0-33";
    outgoing.body = "payload";
    ASSERT_TRUE(pub.send(block.bytes()));
    block.body = "";
    ASSERT_TRUE(pub.send(block.bytes() + outgoing.bytes()));
    for (auto [key, body] : {std::pair{"host:1:0-9", "abc"}, std::pair{"host:1:0-9", ""},
                             std::pair{"host:1:0-33", "payload"}, std::pair{"host:1:0-33", ""}}) {
        ASSERT_TRUE(sub.read_message(m));
        EXPECT_EQ(m.get("className"), "IncomingStreamingNotification");
        EXPECT_EQ(m.headers[m.headers.size() - 3], (vavevar::test::Header{"streamKey", key}));
        EXPECT_EQ(m.body, body);
    }
    auto state = outbound_event("STREAM/STATE");
    state.class_name = "StateSetNotification";
    state.body = "s";
    auto odd = state;
    odd.class_name = "UnknownNotificationClass";
    ASSERT_TRUE(pub.send(odd.bytes() + state.bytes()));
    ASSERT_TRUE(sub.read_message(m));
    EXPECT_EQ(without_times(m.raw),
              "POST /event HTTP/1.1\r\nclassName: StateSetNotification\r\nSubscriberID: 1\r\n"
              "eventType: STREAM/STATE\r\neventId: host:1:0-1\r\ncreationTime: T\r\n"
              "deliveryTime: T\r\nContent-Length: 1\r\nAddrList-Length: 0\r\n\r\ns");
    EXPECT_EQ(pub.stat("eventsDropped"), "1");
    EXPECT_TRUE(sub.quiet());
}

TEST_F(DaemonWire, AMemberIsToldTheListOnJoiningThenEveryChange) {
    ASSERT_TRUE(sub.subscribe(1, "NOTHING", m, "workers", true, {"role: primary"}));
    ASSERT_TRUE(sub.read_message(m));
    EXPECT_EQ(m.get("className") + " " + m.get("eventType") + " " + m.get("SubscriberID"),
              "MembershipListNotification IXO/SYSTEM/MEMBERSHIPLIST 1");
    auto items = body_block_items(m.body);
    EXPECT_EQ(items[2] + " " + items.back(), "members=1 role=primary");

    ASSERT_TRUE(pub.subscribe(5, "NOTHING", m, "workers", false));
    ASSERT_TRUE(pub.read_message(m));
    items = body_block_items(m.body);
    EXPECT_EQ(items[2], "members=2");
    EXPECT_EQ(std::count(items.begin(), items.end(), "subscriberId=5"), 1);
    ASSERT_TRUE(sub.read_message(m));
    items = body_block_items(m.body);
    EXPECT_EQ(m.get("className") + " " + items[4] + " " + items[8],
              "MembershipDeltaNotification kind=join subscriberId=5");

    pub.close();
    ASSERT_TRUE(sub.read_message(m));
    items = body_block_items(m.body);
    EXPECT_EQ(items[2] + " " + items[4] + " " + items[5], "members=1 kind=leave reason=disconnected");
    EXPECT_EQ(sub.stat("members"), "1");
}

TEST_F(DaemonWire, AMisbehavingClientIsClosedAloneAndStatsNeedNoHandshake) {
    RawClient bad(daemon.port()), early(daemon.port());
    ASSERT_TRUE(bad.handshake());
    ASSERT_TRUE(sub.subscribe(1, "*"));
    ASSERT_TRUE(bad.send(std::string("\x16\x03\x01 garbage\r\n", 14)));
    EXPECT_TRUE(bad.closed_by_daemon());
    ASSERT_TRUE(early.send(outbound_event().bytes()));  // before its handshake
    EXPECT_TRUE(early.closed_by_daemon());
    ASSERT_TRUE(pub.send(outbound_event().bytes()));
    ASSERT_TRUE(sub.read_message(m));
    EXPECT_EQ(m.get("eventType"), "ALARM/DISK");
    EXPECT_EQ(pub.stat("malformedDisconnects"), "2");
    // Stats need no handshake, and their asker is no client.
    RawClient stats(daemon.port());
    EXPECT_EQ(stats.stat("connections") + " " + stats.stat("clients"), "3 2");
}

}  // namespace
}  // namespace vavevard
