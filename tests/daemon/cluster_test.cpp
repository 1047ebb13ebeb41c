// vavevard nodes bridged through a cluster of three real nats-servers:
// events cross exactly once and in order, LocalOnly stays home,
// affectedNodes steers; a server killed under load; members across nodes,
// a node stopped, a node cut off and healed.
#include <gtest/gtest.h>

#include <signal.h>

#include <iostream>
#include <map>

#include "cluster_support.h"

namespace vavevard::test {
namespace {

std::string event_bytes(const std::string &type, const std::string &node, const std::string &id,
                        const std::string &affected = "", bool localOnly = false) {
    auto e = outbound_event(type);
    e.event_id = id;
    e.generating_node = node;
    e.affected_nodes = affected;
    e.local_only = localOnly ? "true" : "false";
    e.body = "body of " + id;
    return e.bytes();
}

// Reads events until `done` says so or nothing more comes for `quietMs`.
template <typename F>
void read_events(RawClient &c, std::vector<Message> &into, F done, int quietMs = 8000) {
    Message m;
    while (!done() && c.read_message(m, quietMs))
        if (m.get("className") != "<absent>" && m.raw.starts_with("POST /event")) into.push_back(m);
}

struct Tally {
    int received = 0, lost = 0, duplicated = 0, reordered = 0;
};

// Events "<prefix><i>" from one publisher, i from 0 to n-1, as one subscriber got them.
Tally tally(const std::vector<Message> &events, const std::string &prefix, int n) {
    Tally t;
    std::vector<int> seen(static_cast<std::size_t>(n));
    int last = -1;
    for (const Message &m : events) {
        std::string id = m.get("eventId");
        if (!id.starts_with(prefix) || id.size() == prefix.size() ||
            id.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
            continue;
        int i = std::stoi(id.substr(prefix.size()));
        ++t.received;
        if (seen[static_cast<std::size_t>(i)]++) ++t.duplicated;
        if (i < last) ++t.reordered;
        last = std::max(last, i);
    }
    for (int i = 0; i < n; ++i)
        if (seen[static_cast<std::size_t>(i)] == 0) {
            if (t.lost++ < 5) std::cout << "lost: " << prefix << i << "\n";
        }
    return t;
}

int count_type(const std::vector<Message> &events, const std::string &type) {
    int n = 0;
    for (const Message &m : events) n += m.get("eventType") == type;
    return n;
}

TEST(Cluster, EventsCrossOnceInOrderLocalOnlyStaysHomeAndAffectedNodesSteer) {
    NatsCluster nats;
    ASSERT_TRUE(nats.routed());
    std::vector<std::unique_ptr<Node>> nodes;
    for (int i = 0; i < 3; ++i) {
        nodes.push_back(std::make_unique<Node>("n" + std::to_string(i + 1), nats.urls_from(static_cast<std::size_t>(i))));
        ASSERT_TRUE(nodes.back()->daemon->ok()) << nodes.back()->daemon->log();
    }
    for (auto &n : nodes) ASSERT_TRUE(eventually([&] { return n->stat("clusterPeersAlive") == "2"; })) << n->daemon->log();

    // The same name again is refused before it serves anyone.
    Node twin("n2", nats.urls_from(0));
    EXPECT_FALSE(twin.daemon->ok());
    EXPECT_EQ(twin.daemon->child.wait(), 2);
    EXPECT_NE(twin.daemon->log().find("node name 'n2' is already used in cluster 'vavevar'"), std::string::npos)
        << twin.daemon->log();

    std::vector<std::unique_ptr<RawClient>> subs, pubs;
    for (auto &n : nodes) {
        subs.push_back(connected(n->port()));
        ASSERT_TRUE(subs.back() && subs.back()->subscribe(1, ""));
        pubs.push_back(connected(n->port()));
        ASSERT_TRUE(pubs.back());
    }
    const int kEvents = 300;
    const std::string odd = "A.B/*/> x%";  // NATS separators, wildcards and a blank in the type
    for (int p = 0; p < 3; ++p) {
        std::string node = "n" + std::to_string(p + 1), batch;
        for (int i = 0; i < kEvents; ++i) batch += event_bytes("SEQ/" + node, node, node + ":" + std::to_string(i));
        batch += event_bytes("LOCAL/" + node, node, node + ":local", "", true);
        if (p == 0) batch += event_bytes("TO/n2", node, node + ":to", "n2");
        if (p == 2) batch += event_bytes(odd, node, node + ":odd");
        batch += event_bytes("END", node, node + ":end");
        ASSERT_TRUE(pubs[static_cast<std::size_t>(p)]->send(batch));
    }
    for (int s = 0; s < 3; ++s) {
        std::vector<Message> got;
        read_events(*subs[static_cast<std::size_t>(s)], got, [&] { return count_type(got, "END") == 3; });
        std::string here = "n" + std::to_string(s + 1);
        ASSERT_EQ(count_type(got, "END"), 3) << here << " got " << got.size();
        for (int p = 1; p <= 3; ++p) {
            std::string from = "n" + std::to_string(p);
            Tally t = tally(got, from + ":", kEvents);
            EXPECT_EQ(t.received, kEvents) << from << " -> " << here;
            EXPECT_EQ(t.duplicated + t.reordered + t.lost, 0) << from << " -> " << here;
            EXPECT_EQ(count_type(got, "LOCAL/" + from), from == here ? 1 : 0) << from << " -> " << here;
        }
        // To n2 only: there, and at n1 whose own subscribers see what it publishes.
        EXPECT_EQ(count_type(got, "TO/n2"), here == "n3" ? 0 : 1) << here;
        EXPECT_EQ(count_type(got, odd), 1) << here;
        for (const Message &m : got)
            if (m.get("eventType") == odd) {
                EXPECT_EQ(m.get("generatingNode"), "n3");
                EXPECT_EQ(m.body, "body of n3:odd");
            }
    }
    // n1 forwarded its sequence, the event to n2 and its end; not its LocalOnly one.
    EXPECT_TRUE(eventually([&] { return nodes[0]->stat("clusterEventsForwarded") == std::to_string(kEvents + 2); }))
        << nodes[0]->stat("clusterEventsForwarded");
    EXPECT_EQ(nodes[1]->stat("clusterEventsReceived"), std::to_string(2 * kEvents + 4));
    EXPECT_EQ(nodes[2]->stat("clusterEventsReceived"), std::to_string(2 * kEvents + 2));
    EXPECT_EQ(nodes[1]->stat("clusterLinkUp"), "1");
    EXPECT_EQ(nodes[1]->stat("clusterDuplicatesDropped"), "0");
    Message stats;
    RawClient asker(nodes[1]->port());
    ASSERT_TRUE(asker.send("POST /stats HTTP/1.1\r\n\r\n") && asker.read_message(stats));
    EXPECT_NE(stats.raw.find("clusterPeer: n1 1 " + std::to_string(kEvents + 2) + " 0 0 0\r\n"), std::string::npos)
        << stats.raw;
}

TEST(Cluster, AServerKilledUnderLoadLosesNoEventTwiceNorOutOfOrder) {
    NatsCluster nats;
    ASSERT_TRUE(nats.routed());
    Node n1("n1", nats.urls_from(0)), n2("n2", nats.urls_from(1)), n3("n3", nats.urls_from(2));
    for (Node *n : {&n1, &n2, &n3}) {
        ASSERT_TRUE(n->daemon->ok()) << n->daemon->log();
        ASSERT_TRUE(eventually([&] { return n->stat("clusterPeersAlive") == "2"; }));
    }
    auto sub2 = connected(n2.port()), sub3 = connected(n3.port()), pub = connected(n1.port());
    ASSERT_TRUE(sub2 && sub3 && pub && sub2->subscribe(1, "SEQ/* || END") && sub3->subscribe(1, "SEQ/* || END"));
    const int kEvents = 2000;
    std::thread publisher([&] {
        for (int i = 0; i < kEvents; i += 20) {
            std::string batch;
            for (int k = i; k < i + 20; ++k) batch += event_bytes("SEQ/x", "n1", "p:" + std::to_string(k));
            pub->send(batch);
            if (i == kEvents / 4) nats.kill(0);  // n1's server, while it publishes
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pub->send(event_bytes("END", "n1", "end"));
    });
    std::vector<Message> got2, got3;
    read_events(*sub2, got2, [&] { return count_type(got2, "END") == 1; });
    read_events(*sub3, got3, [&] { return count_type(got3, "END") == 1; });
    publisher.join();
    for (auto *got : {&got2, &got3}) {
        Tally t = tally(*got, "p:", kEvents);
        std::cout << "failover: " << kEvents << " published, " << t.received << " received, " << t.lost << " lost, "
                  << t.duplicated << " duplicated, " << t.reordered << " out of order\n";
        EXPECT_EQ(t.duplicated, 0);
        EXPECT_EQ(t.reordered, 0);
        EXPECT_LE(t.lost, kEvents / 100);
        EXPECT_EQ(count_type(*got, "END"), 1);
    }
    EXPECT_EQ(n1.stat("clusterLinkUp"), "1");
    EXPECT_EQ(n1.stat("clusterReconnects"), "1");
    EXPECT_EQ(n1.stat("clusterEventsForwardDropped"), "0");
}

TEST(Cluster, AStalledServerNeverHoldsUpLocalDeliveryAndWhatWaitedCrossesAfterwards) {
    NatsCluster nats;
    ASSERT_TRUE(nats.routed());
    // Room for all that waits: this is about waiting, not about the bound.
    Node n1("n1", nats.urls_from(0), {"--cluster-reconnect-buffer-mib", "64"}), n2("n2", nats.urls_from(1));
    for (Node *n : {&n1, &n2}) {
        ASSERT_TRUE(n->daemon->ok()) << n->daemon->log();
        ASSERT_TRUE(eventually([&] { return n->stat("clusterPeersAlive") == "1"; }));
    }
    auto local = connected(n1.port()), remote = connected(n2.port()), pub = connected(n1.port());
    ASSERT_TRUE(local && remote && pub && local->subscribe(1, "BIG/* || END") && remote->subscribe(1, "BIG/* || END"));
    // n1's server stops reading: far more than the sockets between hold
    // waits for it, and n1's subscriber is served all the same.
    nats.signal(0, SIGSTOP);
    const int kEvents = 300;  // 19 MiB: more than the kernel holds between n1 and its server
    std::string batch;
    for (int i = 0; i < kEvents; ++i) {
        auto e = outbound_event("BIG/x");
        e.event_id = "b:" + std::to_string(i);
        e.affected_nodes = "";
        e.body = std::string(64 * 1024, 'x');
        batch += e.bytes();
    }
    batch += event_bytes("END", "n1", "end");
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pub->send(batch));
    std::vector<Message> here, there;
    read_events(*local, here, [&] { return count_type(here, "END") == 1; });
    // Less than the write deadline (2 s) a loop that published itself would sit out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    Tally t = tally(here, "b:", kEvents);
    EXPECT_EQ(t.received, kEvents);
    nats.signal(0, SIGCONT);
    read_events(*remote, there, [&] { return count_type(there, "END") == 1; });
    Tally r = tally(there, "b:", kEvents);
    std::cout << "stalled server: " << r.received << " of " << kEvents << " crossed, " << r.lost << " lost; n1 "
              << n1.stat("clusterEventsForwarded") << " forwarded, " << n1.stat("clusterEventsForwardDropped")
              << " dropped, n2 " << n2.stat("clusterEventsInboundDropped") << " dropped, "
              << n2.stat("clusterDuplicatesDropped") << " duplicates\n";
    EXPECT_EQ(r.duplicated + r.reordered, 0);
    EXPECT_EQ(count_type(there, "END"), 1);
}

// The flat body items of every membership notification `c` reads within `ms`.
void read_notices(RawClient &c, std::vector<std::string> &items, int ms) {
    Message m;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end && c.read_message(m, 50))
        if (m.get("className").find("Membership") == 0)
            for (const std::string &i : body_block_items(m.body)) items.push_back(i);
}

bool has_change(const std::vector<std::string> &items, const std::string &kind, const std::string &reason,
                const std::string &node) {
    for (std::size_t i = 0; i + 1 < items.size(); ++i)
        if (items[i] == "kind=" + kind && items[i + 1] == "reason=" + reason)
            for (std::size_t k = i + 2; k < items.size() && items[k] != "seg:0:group"; ++k)
                if (items[k] == "node=" + node) return true;
    return false;
}

TEST(Cluster, MembersSpanNodesAndLeaveWithTheirNodeStoppedOrCutOffAndComeBackOnHeal) {
    NatsCluster nats;
    ASSERT_TRUE(nats.routed());
    // n3 knows only its own server: killing that cuts it off.
    auto n1 = std::make_unique<Node>("n1", nats.urls_from(0));
    Node n2("n2", nats.urls_from(1)), n3("n3", nats.url(2));
    for (Node *n : {n1.get(), &n2, &n3}) {
        ASSERT_TRUE(n->daemon->ok()) << n->daemon->log();
        ASSERT_TRUE(eventually([&] { return n->stat("clusterPeersAlive") == "2"; }));
    }
    auto a = connected(n1->port()), b = connected(n2.port()), c = connected(n3.port());
    Message status;
    ASSERT_TRUE(a->subscribe(1, "none", status, "G", true, {"role: a"}));
    ASSERT_TRUE(c->subscribe(1, "none", status, "G", true, {"role: c"}));
    ASSERT_TRUE(eventually([&] { return n2.stat("clusterRemoteMembers") == "2"; }));
    ASSERT_TRUE(b->subscribe(1, "none", status, "G", true, {"role: b"}));
    // b's list names all three, each with its node.
    std::vector<std::string> items;
    read_notices(*b, items, 300);
    for (const char *node : {"node=n1", "node=n2", "node=n3"})
        EXPECT_NE(std::find(items.begin(), items.end(), node), items.end()) << node;
    EXPECT_NE(std::find(items.begin(), items.end(), "members=3"), items.end());
    EXPECT_NE(std::find(items.begin(), items.end(), "role=a"), items.end());

    // A stopped daemon says goodbye: its member leaves at once, well within the grace.
    auto stoppedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(n1->daemon->stop(), 0) << n1->daemon->log();
    items.clear();
    ASSERT_TRUE(eventually([&] {
        read_notices(*b, items, 50);
        return has_change(items, "leave", "node left", "n1");
    }, 1500));
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, std::chrono::milliseconds(1500));

    // n3 cut off: both sides see the other leave within the grace period,
    // and n3 goes on serving its own machine.
    items.clear();
    std::vector<std::string> cItems;
    nats.kill(2);
    ASSERT_TRUE(eventually([&] {
        read_notices(*b, items, 50);
        read_notices(*c, cItems, 50);
        return has_change(items, "leave", "node left", "n3") && has_change(cItems, "leave", "node left", "n2");
    }, 4000)) << ::testing::PrintToString(items) << "\n" << ::testing::PrintToString(cItems);
    EXPECT_EQ(n3.stat("clusterLinkUp"), "0");
    auto localSub = connected(n3.port()), localPub = connected(n3.port());
    ASSERT_TRUE(localSub && localPub && localSub->subscribe(2, "ALONE"));
    ASSERT_TRUE(localPub->send(event_bytes("ALONE", "n3", "alone-1")));
    Message alone;
    ASSERT_TRUE(localSub->read_message(alone));
    EXPECT_EQ(alone.get("eventId"), "alone-1");

    // Healed: each sees the other's member again.
    ASSERT_TRUE(nats.start(2));
    items.clear();
    cItems.clear();
    ASSERT_TRUE(eventually([&] {
        read_notices(*b, items, 50);
        read_notices(*c, cItems, 50);
        return has_change(items, "join", "joined", "n3") && has_change(cItems, "join", "joined", "n2");
    }, 10000)) << n3.daemon->log();
}

}  // namespace
}  // namespace vavevard::test
