// The cluster link's pieces that need no NATS: subject names, the event
// envelope, the duplicate window, the table of other nodes' members and the
// inbound bound. What the integration tests cannot reach: types no test
// publisher would think of, a duplicate arriving at all, stale and
// out-of-order member snapshots.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "cluster/dedupe_window.h"
#include "cluster/envelope.h"
#include "cluster/inbound_queue.h"
#include "cluster/remote_members.h"
#include "cluster/subject.h"
#include "daemon_harness.h"
#include "router.h"
#include "stats_json.h"
#include "stats_metrics.h"

namespace vavevard::cluster {
namespace {

// What NATS would take as more than one token or as a wildcard.
bool one_plain_token(const std::string &t) {
    return !t.empty() && t.find_first_of(".*> \t\r\n") == std::string::npos;
}

TEST(ClusterSubjects, TypesOfAnyBytesBecomeTokensNatsTakesLiterallyAndStayApart) {
    const std::vector<std::string> types = {"ALARM/DISK", "ALARM.DISK", "ALARM/*", "ALARM/>", "PRINT JOB/x",
                                            "", "/", "a//b", "%41", "A", "\xc3\xa9t\xc3\xa9/\x01", "a\tb"};
    std::set<std::string> seen;
    for (const std::string &type : types) {
        std::string tokens = type_tokens(type);
        std::size_t start = 0;
        for (std::size_t dot = tokens.find('.'); ; dot = tokens.find('.', start)) {
            EXPECT_TRUE(one_plain_token(tokens.substr(start, dot - start))) << type << " -> " << tokens;
            if (dot == std::string::npos) break;
            start = dot + 1;
        }
        EXPECT_TRUE(seen.insert(tokens).second) << "two types share " << tokens;
    }
    EXPECT_EQ(type_tokens("ALARM/DISK"), "ALARM.DISK");
    EXPECT_EQ(type_tokens("A.B/*"), "A%2EB.%2A");
    EXPECT_EQ(type_tokens("a//b"), "a.%.b");
    // Long segments are hashed and deep types cut, so a subject stays short.
    std::string deep;
    for (int i = 0; i < 20; ++i) deep += std::string(300, 'x') + std::to_string(i) + "/";
    std::string tokens = type_tokens(deep);
    EXPECT_LT(tokens.size(), (kMaxTokenBytes + 1) * kMaxTypeTokens);
    EXPECT_NE(type_tokens(std::string(300, 'x') + "1"), type_tokens(std::string(300, 'x') + "2"));
}

TEST(ClusterSubjects, AffectedNodesSteerAnEventAndTheNodeItselfIsNeverAddressed) {
    EXPECT_EQ(event_subjects("c", "T/1", "", "n1"), std::vector<std::string>{"c.ev.all.T.1"});
    EXPECT_EQ(event_subjects("c", "T/1", "n2, n3;n2 n1", "n1"),
              (std::vector<std::string>{"c.ev.to.n2.T.1", "c.ev.to.n3.T.1"}));
    EXPECT_TRUE(event_subjects("c", "T", "n1", "n1").empty());
    EXPECT_EQ(event_subjects("c", "T", "db.1", "n1"), std::vector<std::string>{"c.ev.to.db%2E1.T"});
    // What a node listens to covers both kinds of subject, and only its own.
    EXPECT_EQ(event_interest("c", "db.1"), (std::vector<std::string>{"c.ev.all.>", "c.ev.to.db%2E1.>"}));
    EXPECT_TRUE(valid_node_name("db-1.example"));
    EXPECT_FALSE(valid_node_name("a,b"));
    EXPECT_FALSE(valid_node_name("a b"));
    EXPECT_FALSE(valid_cluster_name("a.b"));
}

TEST(ClusterEnvelope, EveryFieldCrossesAndGarbageIsRefused) {
    Notification e;
    e.cls = kMessageNotification;
    e.type = "ALARM/DISK";
    e.id = "host:1:0-7";
    e.affectedComponents = "db";
    e.affectedNodes = "n2";
    e.generatingComponent = "monitor";
    e.generatingProcess = "host:1";
    e.generatingNode = "host";
    e.localOnly = false;
    e.properties = {{"b: 2"}, {"a: 1"}, {"b: 3"}};
    e.body = std::string("bo\0dy\r\n\r\n", 9);
    e.creationMs = 1735646400123;
    std::string wire = encode_event("n1", e, "lab-a");
    EXPECT_EQ(envelope_node(wire), "n1");
    Notification back;
    std::string why;
    ASSERT_TRUE(decode_event(wire, back, why)) << why;
    EXPECT_EQ(back.type, e.type);
    EXPECT_EQ(back.id, e.id);
    EXPECT_EQ(back.affectedComponents, "db");
    EXPECT_EQ(back.affectedNodes, "n2");
    EXPECT_EQ(back.generatingComponent, "monitor");
    EXPECT_EQ(back.generatingProcess, "host:1");
    EXPECT_EQ(back.generatingNode, "host");
    EXPECT_EQ(back.instanceName, "lab-a");  // the daemon's, as its subscribers saw it
    ASSERT_EQ(back.properties.size(), 3u);
    EXPECT_EQ(back.properties[2].line, "b: 3");
    EXPECT_EQ(back.body, e.body);
    EXPECT_EQ(back.creationMs, e.creationMs);

    // An outgoing stream crosses as it is, for the receiver to turn into blocks.
    e.cls = kOutgoingStreamingNotification;
    ASSERT_TRUE(decode_event(encode_event("n1", e, "lab-a"), back, why)) << why;
    EXPECT_EQ(back.cls, kOutgoingStreamingNotification);

    for (std::string bad : {std::string("junk"), std::string("VVE1 n1 12\nPOST /event HTTP/1.1\r\n"),
                            std::string("VVE1 n1 x\n") + wire.substr(wire.find('\n') + 1),
                            wire + "POST /event HTTP/1.1\r\n"})
        EXPECT_FALSE(decode_event(bad, back, why)) << bad.substr(0, 40);
    std::string unknown = wire;
    unknown.replace(unknown.find("OutgoingStreamingNotification") == std::string::npos
                        ? unknown.find("className: ") + 11 : unknown.find("OutgoingStreamingNotification"),
                    0, "X");
    EXPECT_FALSE(decode_event(unknown, back, why));
}

TEST(ClusterDedupe, ADuplicateWithinTheWindowIsCaughtAndTheOldestIsForgotten) {
    DedupeWindow w(3);
    EXPECT_TRUE(w.first_time("n1", "a"));
    EXPECT_TRUE(w.first_time("n2", "a"));  // another node's identifier
    EXPECT_FALSE(w.first_time("n1", "a"));
    EXPECT_TRUE(w.first_time("n1", "b"));
    EXPECT_TRUE(w.first_time("n1", "c"));  // "n1 a" leaves the window
    EXPECT_TRUE(w.first_time("n1", "a"));
    EXPECT_FALSE(w.first_time("n1", "c"));
    EXPECT_TRUE(w.first_time("n1", ""));
    EXPECT_TRUE(w.first_time("n1", ""));
    EXPECT_EQ(w.size(), 3u);
}

RemoteMember member(std::string group, std::uint64_t client, std::int32_t sub) {
    RemoteMember m;
    m.group = std::move(group);
    m.client = client;
    m.subscriberId = sub;
    m.component = "comp";
    m.selfId = "Pid=1";
    m.joinedMs = 5;
    m.properties = {{"role: primary"}};
    return m;
}

TEST(ClusterRemoteMembers, SnapshotsBecomeJoinsAndLeavesStaleOnesChangeNothingAndRestartsReplace) {
    MemberSnapshot s{"n2", "i1", 1, {member("g", 7, 1), member("g", 7, 2)}, {}};
    MemberSnapshot decoded;
    ASSERT_TRUE(decode_snapshot(encode_snapshot(s), decoded));
    EXPECT_EQ(decoded.members.size(), 2u);
    EXPECT_EQ(decoded.members[0].properties[0].line, "role: primary");
    EXPECT_FALSE(decode_snapshot(encode_snapshot(s).substr(0, 30), decoded));

    RemoteMembers table;
    auto joins = table.apply(s);
    ASSERT_EQ(joins.size(), 2u);
    EXPECT_TRUE(joins[0].join);
    EXPECT_EQ(joins[0].localClient, joins[1].localClient);  // one stand-in per remote client
    EXPECT_GE(joins[0].localClient, kFirstRemoteClient);

    // The next snapshot: one left, with its reason.
    MemberSnapshot next{"n2", "i1", 2, {member("g", 7, 2)}, {{7, 1, "unsubscribed"}}};
    auto leaves = table.apply(next);
    ASSERT_EQ(leaves.size(), 1u);
    EXPECT_FALSE(leaves[0].join);
    EXPECT_EQ(leaves[0].reason, "unsubscribed");
    EXPECT_EQ(leaves[0].localClient, joins[0].localClient);
    // A late copy of the first changes nothing.
    EXPECT_TRUE(table.apply(s).empty());
    EXPECT_EQ(table.members("n2"), 1u);
    // A snapshot after a gap carries no trustworthy reason for older leaves.
    MemberSnapshot gap{"n2", "i1", 5, {}, {}};
    auto later = table.apply(gap);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].reason, "left");
    // The node restarted: what was known of it goes first.
    table.apply(MemberSnapshot{"n2", "i1", 6, {member("g", 7, 3)}, {}});
    auto restarted = table.apply(MemberSnapshot{"n2", "i2", 1, {member("g", 1, 1)}, {}});
    ASSERT_EQ(restarted.size(), 2u);
    EXPECT_FALSE(restarted[0].join);
    EXPECT_EQ(restarted[0].reason, "node restarted");
    EXPECT_TRUE(restarted[1].join);
    EXPECT_EQ(table.seq("n2", "i2"), 1u);
    EXPECT_EQ(table.seq("n2", "i1"), 0u);
    auto gone = table.drop_node("n2", "node left");
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].reason, "node left");
    EXPECT_EQ(table.size(), 0u);
}

TEST(ClusterInbound, PastItsBoundEventsAreDroppedAndCountedPerNodeButControlGetsThrough) {
    InboundQueue q(2, 1000);
    ASSERT_GE(q.fd(), 0);
    EXPECT_TRUE(q.push({Inbound::event, "n2", "a"}));
    EXPECT_TRUE(q.push({Inbound::event, "n3", "b"}));
    EXPECT_FALSE(q.push({Inbound::event, "n3", "c"}));
    EXPECT_TRUE(q.push({Inbound::heartbeat, "n3", "n3 i 0"}));
    EXPECT_FALSE(q.push({Inbound::event, "n2", std::string(2000, 'x')}));
    EXPECT_EQ(q.dropped(), (std::map<std::string, std::uint64_t>{{"n2", 1}, {"n3", 1}}));
    std::deque<Inbound> out;
    q.take(out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].kind, Inbound::heartbeat);
    EXPECT_TRUE(q.push({Inbound::event, "n2", "d"}));  // room again once taken
}

// The router's side of the link, played by a recorder.
struct Recorder : ClusterLink {
    std::vector<std::string> forwarded;
    std::vector<std::string> changes;
    void forward(const Notification &e) override { forwarded.push_back(e.id); }
    void members_changed(ClientId client, std::int32_t sub, std::string_view reason) override {
        changes.push_back(std::to_string(client) + "/" + (sub == kAllSubscribers ? "*" : std::to_string(sub)) + " " +
                          std::string(reason));
    }
    ClusterStats stats() const override {
        ClusterStats s;
        s.node = "n1";
        s.name = "lab";
        s.linkUp = true;
        s.eventsForwarded = 7;
        s.peersAlive = 1;
        s.peers.push_back({"n\"2", true, 5, 1, 2, 3});
        return s;
    }
};

struct Host {
    Router router{RouterConfig{"alpha", "testhost:1", "vavevard 1.2.3", Limits{}, ReplayWindow{}}};
    Recorder link;
    std::string why;
    ClientId connect() {
        ClientId id = router.add_client("127.0.0.1:1");
        router.handle(id, ConnectRequest{"4", "ff", "Pid=1"}, why);
        return id;
    }
    void publish(ClientId from, const std::string &id, bool localOnly) {
        EventRequest e;
        e.event.type = "T";
        e.event.id = id;
        e.event.localOnly = localOnly;
        router.handle(from, std::move(e), why);
    }
    // The body items of every membership notice queued for `c`.
    std::vector<std::string> notices(ClientId c) {
        std::vector<std::string> items;
        vavevar::test::RequestParser parser;
        Client *client = router.client(c);
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        client->out.send_to(pair[0], 0);
        char buffer[65536];
        ssize_t n = ::recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT);
        ::close(pair[0]);
        ::close(pair[1]);
        parser.feed(std::string_view(buffer, n > 0 ? static_cast<std::size_t>(n) : 0));
        while (auto m = parser.next())
            if (m->get("className").find("Membership") == 0)
                for (const std::string &i : vavevard::test::body_block_items(m->body)) items.push_back(i);
        return items;
    }
};

TEST(ClusterRouter, OnlyLocalEventsThatMayLeaveAreForwardedAndMembersCarryTheirNode) {
    Host h;
    ClientId alone = h.connect();
    h.publish(alone, "before", false);  // no cluster yet: nothing to tell
    h.router.set_cluster(&h.link, "n1");
    ClientId a = h.connect();
    h.publish(a, "e1", false);
    h.publish(a, "e2", true);  // LocalOnly
    Notification remote;
    remote.type = "T";
    remote.id = "r1";
    h.router.route_remote(remote);  // never back out
    EXPECT_EQ(h.link.forwarded, std::vector<std::string>{"e1"});

    h.router.handle(a, SubscribeRequest{1, "none", "c", "G", true, {}}, h.why);
    Member m;
    m.client = kFirstRemoteClient;
    m.subscriberId = 4;
    m.component = "far";
    h.router.join_remote("G", m, "n2", 9);
    h.router.leave_remote(kFirstRemoteClient, 4, "node left");
    h.router.handle(a, UnsubscribeRequest{1}, h.why);
    h.router.handle(a, SubscribeRequest{2, "none", "c", "G", true, {}}, h.why);
    h.router.remove_client(a, "disconnected");
    // Remote changes are not this node's to announce.
    EXPECT_EQ(h.link.changes, (std::vector<std::string>{"0/0 ", std::to_string(a) + "/1 unsubscribed", "0/0 ",
                                                       std::to_string(a) + "/* disconnected"}));
    ClientId b = h.connect();
    h.router.handle(b, SubscribeRequest{1, "none", "c", "G", true, {}}, h.why);
    h.router.join_remote("G", m, "n2", 9);
    h.router.leave_remote(kFirstRemoteClient, 4, "node left");
    std::vector<std::string> items = h.notices(b);
    auto has = [&](const std::string &item) { return std::find(items.begin(), items.end(), item) != items.end(); };
    EXPECT_TRUE(has("memberId=n1:" + std::to_string(b) + "/1"));
    EXPECT_TRUE(has("node=n1"));
    EXPECT_TRUE(has("memberId=n2:9/4"));  // its id on its own node
    EXPECT_TRUE(has("node=n2"));
    EXPECT_TRUE(has("reason=node left"));
    EXPECT_EQ(h.router.membership().member_count(), 1u);
}

TEST(ClusterRouter, TheCountersShowOnlyInACluster) {
    Host h;
    std::string alone = h.router.stats_message(0) + render_stats_json(h.router, HttpStats{}, 0) +
                        render_metrics(h.router, HttpStats{}, 0);
    EXPECT_EQ(alone.find("luster"), std::string::npos);
    h.router.set_cluster(&h.link, "n1");
    std::string answer = h.router.stats_message(0);
    EXPECT_NE(answer.find("clusterLinkUp: 1\r\n"), std::string::npos);
    EXPECT_NE(answer.find("clusterEventsForwarded: 7\r\n"), std::string::npos);
    EXPECT_TRUE(answer.ends_with("clusterPeer: n\"2 1 5 1 2 3\r\n\r\n")) << answer;
    std::string json = render_stats_json(h.router, HttpStats{}, 0);
    EXPECT_NE(json.find("\"clusterEventsForwarded\":7"), std::string::npos);
    EXPECT_NE(json.find("\"cluster\":{\"node\":\"n1\",\"name\":\"lab\",\"peers\":[{\"node\":\"n\\\"2\",\"alive\":true,"
                        "\"eventsReceived\":5,\"duplicatesDropped\":1,\"eventsDropped\":2,\"members\":3}]}"),
              std::string::npos) << json;
    std::string metrics = render_metrics(h.router, HttpStats{}, 0);
    EXPECT_NE(metrics.find("\nvavevard_cluster_events_forwarded_total 7\n"), std::string::npos);
    EXPECT_NE(metrics.find("# TYPE vavevard_cluster_link_up gauge\nvavevard_cluster_link_up 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("\nvavevard_cluster_peer_events_received_total{node=\"n\\\"2\"} 5\n"), std::string::npos)
        << metrics;
}

}  // namespace
}  // namespace vavevard::cluster
