// What one client can make the daemon hold: output it does not read,
// connections, and what its subscriptions keep. A bound crossed costs that
// client alone, and telling a group of a change costs one pass over it.
#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "failing_new.h"

namespace vavevard {
namespace {

using test::DaemonThread;
using test::Message;
using test::outbound_event;
using test::RawClient;

// The bound is on what waits behind the message just queued: one event larger
// than it reaches a subscriber that reads, with nothing skipped.
TEST(DaemonLimits, AnEventLargerThanTheOutputBoundReachesAReaderWhole) {
    Limits limits;
    limits.maxPendingBytes = 256 * 1024;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    RawClient pub(daemon.port()), watcher(daemon.port());
    ASSERT_TRUE(pub.handshake() && watcher.handshake());
    Message m;
    ASSERT_TRUE(watcher.subscribe(2, "LARGE"));
    auto large = outbound_event("LARGE");
    large.body = std::string(1024 * 1024, 'x');
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(pub.send(large.bytes()) && watcher.read_message(m));
        EXPECT_EQ(m.body.size(), large.body.size());
    }
    EXPECT_EQ(pub.stat("eventsSkipped"), "0");
    EXPECT_EQ(pub.stat("slowConsumerDisconnects"), "0");
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
    EXPECT_EQ(reply.headers[1], (vavevar::test::Header{"Result", "failure"}));
    EXPECT_EQ(reply.get("Message"), "too many clients (limit 1)");
    EXPECT_TRUE(second.closed_by_daemon());
    first.close();
    EXPECT_TRUE(test::accepted_soon(daemon.port()));
}

TEST(DaemonLimits, ASubscribeThatWouldKeepTooMuchIsRefusedWithoutClosingTheConnection) {
    Limits limits;
    limits.maxSubscriptionTextBytes = 64;
    limits.maxMemberPropertyLine = 32;
    limits.maxMemberPropertyBytes = 64;
    limits.maxMemberListBytes = 600;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    RawClient c(daemon.port()), other(daemon.port());
    ASSERT_TRUE(c.handshake() && other.handshake());
    Message m;
    auto refused = [&](int id, const std::string &filter, const std::string &group,
                       const std::vector<std::string> &props) {
        return c.subscribe(id, filter, m, group, false, props) && m.get("Result") == "failure"
                   ? m.get("Message")
                   : "<accepted>";
    };
    EXPECT_EQ(refused(1, "A", "g", {"k: " + std::string(30, 'x')}), "a member property line is longer than 32 bytes");
    EXPECT_EQ(refused(2, std::string(61, 'A'), "null", {}),
              "the subscriptions of one connection would keep more than 64 bytes of filter, component and group");
    ASSERT_TRUE(c.subscribe(3, "A", m, "g", false, {"a: " + std::string(20, 'x'), "b: " + std::string(20, 'x')}));
    ASSERT_TRUE(c.read_message(m));  // the list
    EXPECT_EQ(refused(4, "A", "h", {"c: " + std::string(20, 'x')}),
              "the members of one connection would keep more than 64 bytes of properties");
    // Replacing a subscription frees what it kept.
    ASSERT_TRUE(c.subscribe(3, "A", m, "h", false, {"c: " + std::string(20, 'x')}) && m.get("Result") == "success");
    ASSERT_TRUE(c.read_message(m));

    // Members join until the list a joiner gets would be over its bound.
    int joined = 0;
    for (int id = 1; id <= 10; ++id) {
        ASSERT_TRUE(other.subscribe(id, "B", m, "L", false));
        if (m.get("Result") != "success") break;
        ASSERT_TRUE(other.read_message(m));
        ++joined;
    }
    EXPECT_GT(joined, 1);
    EXPECT_LT(joined, 10);
    EXPECT_EQ(m.get("Message").rfind("the member list of group 'L' would be ", 0), 0u) << m.get("Message");
    EXPECT_EQ(other.stat("members"), std::to_string(joined + 1));
    EXPECT_EQ(other.stat("subscribesRefused"), "4");
    // Both connections are still served.
    ASSERT_TRUE(c.subscribe(5, "B"));
    auto e = outbound_event("B");
    ASSERT_TRUE(c.send(e.bytes()));
    ASSERT_TRUE(c.read_message(m));
    EXPECT_EQ(m.get("SubscriberID"), "5");
    for (int i = 0; i < joined; ++i) ASSERT_TRUE(other.read_message(m));
}

// One delta goes to every member that asked for deltas; it is built once and
// shared, so a large member's join or leave does not cost its size once per
// member of the group.
TEST(DaemonLimits, TellingAGroupOfAChangeCostsOnePassOverIt) {
    if (!test::new_seam_available()) GTEST_SKIP() << "no allocation seam under this sanitizer";
    Router router(RouterConfig{"alpha", "testhost:1", "test", Limits{}, {}, nullptr});
    std::string why;
    auto subscribe = [&](ClientId client, bool deltas, std::vector<Property> props) {
        router.handle(client, ConnectRequest{}, why);
        return router.handle(client, SubscribeRequest{1, "NOTHING", "c", "g", deltas, std::move(props), false}, why);
    };
    constexpr int kWatchers = 100;
    for (int i = 0; i < kWatchers; ++i) ASSERT_TRUE(subscribe(router.add_client("w", 0u), true, {}));
    std::vector<Property> large;
    for (int i = 0; i < 25; ++i) large.push_back({"p" + std::to_string(i) + ": " + std::string(8000, 'x')});
    ClientId leaver = router.add_client("l", 0u);
    std::size_t before = test::new_bytes();
    ASSERT_TRUE(subscribe(leaver, false, large));
    std::size_t joinCost = test::new_bytes() - before;
    before = test::new_bytes();
    router.remove_client(leaver, "disconnected");
    std::size_t leaveCost = test::new_bytes() - before;
    // About 200 KB of properties: a few copies are fine, one per member is not.
    std::size_t onePerMember = kWatchers * 25 * 8000;
    EXPECT_LT(joinCost, onePerMember / 4);
    EXPECT_LT(leaveCost, onePerMember / 4);
    EXPECT_EQ(router.stats().eventsOut, std::uint64_t{kWatchers} * (kWatchers + 1) / 2 + 1 + 2 * kWatchers);
}

}  // namespace
}  // namespace vavevard
