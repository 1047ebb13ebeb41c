// The daemon on the wire: the real server on its own thread, raw loopback
// sockets as clients, and the client library's own event writer and reader to
// prove both sides agree on every byte.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <string>
#include <vector>

#include "clock.h"
#include "daemon_harness.h"
#include "notification/event_wire.h"
#include "notification/notification.h"
#include "port/memory.h"
#include "runtime/conn.h"

namespace vavevard {
namespace {

using test::DaemonThread;
using test::Message;
using test::OutboundEvent;
using test::RawClient;

// Replaces the digits of both time headers with "T" and returns them.
std::string without_times(std::string raw, std::int64_t *creation, std::int64_t *delivery) {
    for (auto [name, out] : {std::pair{"creationTime: ", creation}, std::pair{"deliveryTime: ", delivery}}) {
        std::size_t at = raw.find(name);
        if (at == std::string::npos) continue;
        at += 14;
        std::size_t end = raw.find("\r\n", at);
        *out = std::stoll(raw.substr(at, end - at));
        raw.replace(at, end - at, "T");
    }
    return raw;
}

std::string stat_of(RawClient &c, const std::string &name) {
    Message m;
    if (!c.send("POST /stats HTTP/1.1\r\n\r\n") || !c.read_message(m)) return "<no answer>";
    return m.get(name);
}

class DaemonWire : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.ok()) << daemon.error(); }
    DaemonThread daemon;
};

TEST_F(DaemonWire, HandshakeReplyHasResultOnLineThreeAndInstanceOnLineNine) {
    for (bool ipv6 : {false, true}) {
        RawClient c(daemon.port(), ipv6);
        if (ipv6 && !c.ok()) GTEST_SKIP() << "no IPv6 loopback on this machine";
        ASSERT_TRUE(c.ok());
        Message reply;
        ASSERT_TRUE(c.handshake(reply, "Pid=99; Home=/srv/x"));
        std::vector<std::string> lines;
        std::string raw = reply.raw;
        for (std::size_t at = 0; at < raw.size();) {
            std::size_t end = raw.find("\r\n", at);
            lines.push_back(raw.substr(at, end - at));
            at = end + 2;
        }
        ASSERT_EQ(lines.size(), 10u);
        EXPECT_EQ(lines[0], "POST /connect HTTP/1.1");
        EXPECT_EQ(lines[1], "Version: 4");
        EXPECT_EQ(lines[2], "Result: success");
        EXPECT_EQ(lines[3], "Message: connected");
        EXPECT_EQ(lines[4], "daemonVersion: vavevard test");
        EXPECT_EQ(lines[5], "SelfId: Pid=99; Home=/srv/x");
        EXPECT_EQ(lines[6].rfind("ClientId: ", 0), 0u);
        EXPECT_EQ(lines[7], "DaemonId: testhost:1");
        EXPECT_EQ(lines[8], "instanceName: alpha");
        EXPECT_EQ(lines[9], "");
    }
}

TEST_F(DaemonWire, SubscribeIsAnsweredAndABadFilterIsRefusedWithWhere) {
    RawClient c(daemon.port());
    ASSERT_TRUE(c.handshake());
    Message status;
    ASSERT_TRUE(c.subscribe(3, "ALARM/*", status));
    EXPECT_EQ(status.raw, "POST /status HTTP/1.1\r\nResult: success\r\nSubscriberID: 3\r\n"
                          "Message: subscribed\r\n\r\n");
    ASSERT_TRUE(c.subscribe(4, "type = (", status));
    EXPECT_EQ(status.raw, "POST /status HTTP/1.1\r\nResult: failure\r\nSubscriberID: 4\r\n"
                          "Message: invalid subscription: at character 8: expected a value after "
                          "'=', found '('\r\n\r\n");
    // The refused subscription does not exist: events for it are not sent.
    RawClient publisher(daemon.port());
    ASSERT_TRUE(publisher.handshake());
    OutboundEvent e;
    e.type = "(";
    ASSERT_TRUE(publisher.send(e.wire()));
    EXPECT_EQ(stat_of(publisher, "eventsUnmatched"), "1");
    EXPECT_TRUE(c.quiet());
}

TEST_F(DaemonWire, EventArrivesInTheInboundLayoutWithOneIdAndBothTimes) {
    RawClient sub(daemon.port()), pub(daemon.port());
    ASSERT_TRUE(sub.handshake() && pub.handshake());
    ASSERT_TRUE(sub.subscribe(7, "ALARM/*"));

    OutboundEvent e;
    e.subscriberId = 12;
    e.localOnly = true;
    e.properties = {"b: 2", "a: 1"};
    e.body = std::string("he\0lo", 5);
    std::int64_t before = now_ms();
    ASSERT_TRUE(pub.send(e.wire()));
    Message m;
    ASSERT_TRUE(sub.read_message(m));
    std::int64_t after = now_ms();

    std::int64_t creation = 0, delivery = 0;
    EXPECT_EQ(without_times(m.raw, &creation, &delivery),
              "POST /event HTTP/1.1\r\n"
              "className: MessageNotification\r\n"
              "SubscriberID: 7\r\n"
              "eventType: ALARM/DISK\r\n"
              "eventId: host:1:0-1\r\n"
              "creationTime: T\r\n"
              "deliveryTime: T\r\n"
              "affectedComponents: db\r\n"
              "affectedNodes: node1\r\n"
              "generatingComponent: monitor\r\n"
              "generatingProcess: host:1\r\n"
              "generatingNode: host\r\n"
              "instanceName: alpha\r\n"
              "LocalOnly: true\r\n"
              "numberOfProperties: 2\r\n"
              "b: 2\r\n"
              "a: 1\r\n"
              "Content-Length: 5\r\n"
              "AddrList-Length: 0\r\n"
              "\r\n" +
                  std::string("he\0lo", 5));
    EXPECT_LE(before, creation);
    EXPECT_LE(creation, delivery);
    EXPECT_LE(delivery, after);
}

// The library's writer produces what the daemon parses, and the library's
// reader takes what the daemon writes, headers skipped by length and all.
TEST_F(DaemonWire, TheClientLibraryWriterAndReaderAgreeWithTheDaemon) {
    RawClient sub(daemon.port()), pub(daemon.port());
    ASSERT_TRUE(sub.handshake() && pub.handshake());
    ASSERT_TRUE(sub.subscribe(2, "prop.colour = blue"));

    lumo_notification *n = vavevar::lumo_notification_create("PAINT/DONE", "xyz", 3);
    ASSERT_NE(n, nullptr);
    vavevar::lumo_notification_setProperty(n, "colour", "blue");
    vavevar::lumo_notification_setProperty(n, "coats", "2");
    vavevar::lumo_notification_stampForPublish(n, "painter", "host", "host:77", "host:771", 0);
    lumo_conn *out = vavevar::lumo_conn_create(pub.fd());
    ASSERT_EQ(vavevar::lumo_event_write_with_instance(n, out, "alpha", 5), 1);
    vavevar::lumo_conn_free(out);
    vavevar::lumo_notification_destroy(n);

    lumo_conn *in = vavevar::lumo_conn_create(sub.fd());
    char *line = nullptr;
    ASSERT_EQ(vavevar::lumo_conn_readline(in, &line), 1);
    EXPECT_STREQ(line, "POST /event HTTP/1.1");
    std::int32_t *ids = nullptr;
    std::int32_t count = 0;
    lumo_notification *got = vavevar::lumo_event_read(in, &ids, &count);
    ASSERT_NE(got, nullptr);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(ids[0], 2);
    EXPECT_EQ(got->notificationClass, 0);
    EXPECT_STREQ(got->type, "PAINT/DONE");
    EXPECT_STREQ(got->id, "host:771");
    EXPECT_STREQ(got->generatingComponent, "painter");
    EXPECT_STREQ(got->instanceName, "alpha");
    EXPECT_STREQ(vavevar::lumo_notification_getProperty(got, "colour"), "blue");
    EXPECT_STREQ(vavevar::lumo_notification_getProperty(got, "coats"), "2");
    EXPECT_EQ(got->bodyLength, 3);
    EXPECT_GT(got->creationTime, 1600000000000);
    EXPECT_GE(got->deliveryTime, got->creationTime);
    vavevar::lumo_free(ids);
    vavevar::lumo_notification_destroy(got);
    vavevar::lumo_conn_free(in);
}

TEST_F(DaemonWire, RoutingReachesEveryMatchingSubscriberIncludingThePublisherItself) {
    RawClient a(daemon.port()), b(daemon.port());
    ASSERT_TRUE(a.handshake() && b.handshake());
    ASSERT_TRUE(a.subscribe(1, "ALARM/*"));
    ASSERT_TRUE(b.subscribe(1, "ALARM/* and prop.site = lab"));
    ASSERT_TRUE(b.subscribe(2, "null"));
    ASSERT_TRUE(b.subscribe(3, "OTHER"));

    OutboundEvent e;
    e.properties = {"site: lab"};
    ASSERT_TRUE(a.send(e.wire()));  // a publishes and is itself a subscriber
    Message m;
    ASSERT_TRUE(a.read_message(m));
    EXPECT_EQ(m.get("SubscriberID"), "1");
    // One message per matching subscription, each with one identifier.
    ASSERT_TRUE(b.read_message(m));
    EXPECT_EQ(m.get("SubscriberID"), "1");
    ASSERT_TRUE(b.read_message(m));
    EXPECT_EQ(m.get("SubscriberID"), "2");
    EXPECT_TRUE(b.quiet());

    e.properties = {"site: home"};
    ASSERT_TRUE(a.send(e.wire()));
    ASSERT_TRUE(b.read_message(m));
    EXPECT_EQ(m.get("SubscriberID"), "2");
    ASSERT_TRUE(a.read_message(m));
    EXPECT_TRUE(b.quiet());

    // After an unsubscribe (which gets no answer) nothing more arrives for it.
    ASSERT_TRUE(a.send("POST /unsubscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 1\r\n\r\n"));
    ASSERT_TRUE(a.send(e.wire()));
    ASSERT_TRUE(b.read_message(m));
    EXPECT_EQ(m.get("SubscriberID"), "2");
    EXPECT_TRUE(a.quiet());
    EXPECT_EQ(stat_of(a, "subscriptions"), "3");
}

TEST_F(DaemonWire, EachPublishersEventsArriveInTheOrderSent) {
    RawClient sub(daemon.port()), p1(daemon.port()), p2(daemon.port());
    ASSERT_TRUE(sub.handshake() && p1.handshake() && p2.handshake());
    ASSERT_TRUE(sub.subscribe(1, "SEQ/*"));
    constexpr int kEach = 300;
    std::string burst1, burst2;
    for (int i = 0; i < kEach; ++i) {
        OutboundEvent e;
        e.type = "SEQ/1";
        e.properties = {"n: " + std::to_string(i)};
        burst1 += e.wire();
        e.type = "SEQ/2";
        burst2 += e.wire();
    }
    std::thread other([&] { p2.send(burst2); });
    ASSERT_TRUE(p1.send(burst1));
    other.join();
    int next[2] = {0, 0};
    for (int i = 0; i < 2 * kEach; ++i) {
        Message m;
        ASSERT_TRUE(sub.read_message(m)) << "after " << i;
        int which = m.get("eventType") == "SEQ/1" ? 0 : 1;
        ASSERT_EQ(m.get("n"), std::to_string(next[which])) << m.get("eventType");
        ++next[which];
    }
    EXPECT_TRUE(sub.quiet());
}

TEST_F(DaemonWire, StreamAndShortFormClasses) {
    RawClient sub(daemon.port()), pub(daemon.port());
    ASSERT_TRUE(sub.handshake() && pub.handshake());
    ASSERT_TRUE(sub.subscribe(1, "STREAM/*"));
    Message m;

    // Stream blocks (class 4) pass with their key, in order.
    OutboundEvent block;
    block.type = "STREAM/FILE";
    block.className = "IncomingStreamingNotification";
    block.streamKey = "host:1:0-9";
    block.body = "abc";
    ASSERT_TRUE(pub.send(block.wire()));
    block.body = "";
    ASSERT_TRUE(pub.send(block.wire()));
    for (const char *body : {"abc", ""}) {
        ASSERT_TRUE(sub.read_message(m));
        EXPECT_EQ(m.get("className"), "IncomingStreamingNotification");
        EXPECT_EQ(m.get("streamKey"), "host:1:0-9");
        EXPECT_EQ(m.body, body);
        EXPECT_EQ(m.headers.back().first, "AddrList-Length");
        EXPECT_EQ(m.headers[m.headers.size() - 3].first, "streamKey");
    }

    // An outgoing-stream event becomes a one-block incoming stream keyed by
    // its identifier, then its end marker.
    OutboundEvent outgoing;
    outgoing.type = "STREAM/ONE";
    outgoing.className = "OutgoingStreamingNotification";
    outgoing.id = "host:1:0-33";
    outgoing.body = "payload";
    ASSERT_TRUE(pub.send(outgoing.wire()));
    ASSERT_TRUE(sub.read_message(m));
    EXPECT_EQ(m.get("className"), "IncomingStreamingNotification");
    EXPECT_EQ(m.get("streamKey"), "host:1:0-33");
    EXPECT_EQ(m.body, "payload");
    ASSERT_TRUE(sub.read_message(m));
    EXPECT_EQ(m.get("streamKey"), "host:1:0-33");
    EXPECT_EQ(m.get("Content-Length"), "0");

    // Short form: no affected/generating headers and no properties.
    OutboundEvent state;
    state.type = "STREAM/STATE";
    state.className = "StateSetNotification";
    state.body = "s";
    ASSERT_TRUE(pub.send(state.wire()));
    ASSERT_TRUE(sub.read_message(m));
    std::int64_t c = 0, d = 0;
    EXPECT_EQ(without_times(m.raw, &c, &d),
              "POST /event HTTP/1.1\r\nclassName: StateSetNotification\r\nSubscriberID: 1\r\n"
              "eventType: STREAM/STATE\r\neventId: host:1:0-1\r\ncreationTime: T\r\n"
              "deliveryTime: T\r\nContent-Length: 1\r\nAddrList-Length: 0\r\n\r\ns");

    // A class no reader knows is dropped, not passed on to break readers.
    OutboundEvent odd;
    odd.type = "STREAM/ODD";
    odd.className = "UnknownNotificationClass";
    ASSERT_TRUE(pub.send(odd.wire()));
    EXPECT_EQ(stat_of(pub, "eventsDropped"), "1");
    EXPECT_TRUE(sub.quiet());
}

TEST_F(DaemonWire, MembershipListOnJoinAndDeltasOnJoinLeaveAndDrop) {
    RawClient a(daemon.port()), b(daemon.port());
    ASSERT_TRUE(a.handshake() && b.handshake());
    Message m;
    ASSERT_TRUE(a.subscribe(1, "NOTHING", m, "workers", true, {"role: primary"}));
    EXPECT_EQ(m.get("Result"), "success");
    ASSERT_TRUE(a.read_message(m));
    EXPECT_EQ(m.get("className"), "MembershipListNotification");
    EXPECT_EQ(m.get("eventType"), "IXO/SYSTEM/MEMBERSHIPLIST");
    EXPECT_EQ(m.get("SubscriberID"), "1");
    auto items = test::body_block_items(m.body);
    EXPECT_EQ(items[1], "name=workers");
    EXPECT_EQ(items[2], "members=1");
    EXPECT_EQ(items.back(), "role=primary");

    ASSERT_TRUE(b.subscribe(5, "NOTHING", m, "workers", false));
    ASSERT_TRUE(b.read_message(m));
    items = test::body_block_items(m.body);
    EXPECT_EQ(items[2], "members=2");
    EXPECT_EQ(std::count(items.begin(), items.end(), "subscriberId=5"), 1);
    ASSERT_TRUE(a.read_message(m));
    EXPECT_EQ(m.get("className"), "MembershipDeltaNotification");
    items = test::body_block_items(m.body);
    EXPECT_EQ(items[4], "kind=join");
    EXPECT_EQ(items[8], "subscriberId=5");

    b.close();  // the connection drops: a is told
    ASSERT_TRUE(a.read_message(m));
    EXPECT_EQ(m.get("className"), "MembershipDeltaNotification");
    items = test::body_block_items(m.body);
    EXPECT_EQ(items[2], "members=1");
    EXPECT_EQ(items[4], "kind=leave");
    EXPECT_EQ(items[5], "reason=disconnected");
    EXPECT_EQ(stat_of(a, "members"), "1");
}

TEST_F(DaemonWire, AMisbehavingClientIsClosedAndTheOthersCarryOn) {
    RawClient good(daemon.port()), bad(daemon.port()), early(daemon.port());
    ASSERT_TRUE(good.handshake() && bad.handshake());
    ASSERT_TRUE(good.subscribe(1, "*"));
    ASSERT_TRUE(bad.send(std::string("\x16\x03\x01 garbage\r\n", 14)));
    EXPECT_TRUE(bad.closed_by_daemon());
    // A request before the handshake is a protocol error as well.
    ASSERT_TRUE(early.send(OutboundEvent{}.wire()));
    EXPECT_TRUE(early.closed_by_daemon());

    OutboundEvent e;
    ASSERT_TRUE(good.send(e.wire()));
    Message m;
    ASSERT_TRUE(good.read_message(m));
    EXPECT_EQ(m.get("eventType"), "ALARM/DISK");
    EXPECT_EQ(stat_of(good, "malformedDisconnects"), "2");
}

TEST_F(DaemonWire, StatsAreAnsweredEvenBeforeAHandshake) {
    RawClient c(daemon.port());
    ASSERT_TRUE(c.send("POST /stats HTTP/1.1\r\n\r\n"));
    Message m;
    ASSERT_TRUE(c.read_message(m));
    EXPECT_EQ(m.first, "POST /stats HTTP/1.1");
    EXPECT_EQ(m.get("Result"), "success");
    EXPECT_EQ(m.get("instanceName"), "alpha");
    EXPECT_EQ(m.get("clients"), "0");
    EXPECT_EQ(m.get("connections"), "1");
    ASSERT_TRUE(c.handshake());
    EXPECT_EQ(stat_of(c, "clients"), "1");
}

TEST(DaemonLimits, ASlowConsumerIsDroppedAndThePublisherIsNot) {
    Limits limits;
    limits.maxPendingBytes = 256 * 1024;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    // `slow` never reads until it is dropped; the kernel's socket buffers fill
    // first, then the daemon's queue for it grows past the bound.
    RawClient slow(daemon.port()), pub(daemon.port()), watcher(daemon.port());
    ASSERT_TRUE(slow.handshake() && pub.handshake() && watcher.handshake());
    ASSERT_TRUE(slow.subscribe(1, "BULK"));
    Message m;
    ASSERT_TRUE(watcher.subscribe(1, "NONE", m, "grp", true));
    ASSERT_TRUE(watcher.read_message(m));  // the list
    ASSERT_TRUE(slow.subscribe(2, "NONE", m, "grp", false));
    ASSERT_TRUE(watcher.read_message(m));  // the join delta

    OutboundEvent e;
    e.type = "BULK";
    e.body = std::string(16 * 1024, 'x');
    std::string dropped = "0";
    // Each round is a bounded burst; the bound is crossed after a few rounds.
    for (int round = 0; round < 200 && dropped == "0"; ++round) {
        for (int i = 0; i < 8; ++i) ASSERT_TRUE(pub.send(e.wire()));
        dropped = stat_of(pub, "slowConsumerDisconnects");
    }
    EXPECT_EQ(dropped, "1");
    EXPECT_TRUE(slow.closed_by_daemon());
    // Its group sees it go.
    ASSERT_TRUE(watcher.read_message(m));
    auto items = test::body_block_items(m.body);
    EXPECT_EQ(items[4], "kind=leave");
    EXPECT_EQ(items[5], "reason=dropped");
    EXPECT_EQ(stat_of(pub, "clients"), "2");
}

TEST(DaemonLimits, ConnectionsOverTheClientLimitAreRefusedOnLineThree) {
    Limits limits;
    limits.maxClients = 1;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    RawClient first(daemon.port()), second(daemon.port());
    ASSERT_TRUE(first.handshake());
    Message reply;
    ASSERT_TRUE(second.handshake(reply));
    EXPECT_EQ(reply.headers[1].first + ": " + reply.headers[1].second, "Result: failure");
    EXPECT_EQ(reply.get("Message"), "too many clients (limit 1)");
    EXPECT_TRUE(second.closed_by_daemon());
    first.close();
    // The slot is free again once the daemon has seen the first go.
    bool accepted = false;
    for (int i = 0; i < 100 && !accepted; ++i) {
        RawClient attempt(daemon.port());
        Message r;
        accepted = attempt.handshake(r) && r.get("Result") == "success";
        if (!accepted) {
            ASSERT_TRUE(attempt.closed_by_daemon());
        }
    }
    EXPECT_TRUE(accepted);
}

}  // namespace
}  // namespace vavevard
