// Access control on the wire: clients of other users, as the kernel names
// them, get exactly what the policy gives them, and what the daemon says about
// a publisher or a member is what the kernel says, not what the client
// claims.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "access_policy.h"
#include "other_users.h"

namespace vavevard {
namespace {

using namespace test;

std::shared_ptr<const AccessPolicy> policy(std::string_view text) {
    AccessPolicy p;
    std::string problems;
    EXPECT_TRUE(AccessPolicy::from_text(text, p, problems)) << problems;
    return std::make_shared<const AccessPolicy>(std::move(p));
}

TEST(DaemonAccess, UnderTheDefaultPolicyAnotherUserCanNeitherConnectPublishNorReadStats) {
    VAVEVARD_NEEDS_ROOT();
    DaemonThread d;
    ASSERT_TRUE(d.ok()) << d.error();
    RawClient owner(d.port());
    ASSERT_TRUE(owner.handshake() && owner.subscribe(1, ""));

    auto other = client_of(kNobody, d.port());
    Message m;
    ASSERT_TRUE(other->send("POST /stats HTTP/1.1\r\n\r\n") && other->read_message(m));
    EXPECT_EQ(m.get("Result"), "failure");
    EXPECT_EQ(m.get("Message"), "user 65534 may not read the daemon's statistics");
    EXPECT_EQ(m.header("eventsIn"), std::nullopt) << m.raw;

    ASSERT_TRUE(other->handshake(m, "Pid=1; Home=/root"));
    EXPECT_EQ(m.get("Result"), "failure");
    EXPECT_EQ(m.get("Message"), "user 65534 is not allowed to connect");
    EXPECT_TRUE(other->closed_by_daemon());
    auto again = client_of(kNobody, d.port());
    EXPECT_FALSE(again->send(RawClient::subscribe_request(1, "") + event_request("secret/payroll")) &&
                 again->read_message(m, 300)) << m.raw;

    EXPECT_TRUE(owner.quiet());
    EXPECT_EQ(owner.stat("eventsIn"), "0");
    EXPECT_EQ(owner.stat("refusedConnect"), "1");
    EXPECT_EQ(owner.stat("refusedStats"), "1");
    EXPECT_EQ(owner.stat("clients"), "1");
}

TEST(DaemonAccess, APolicyGivesEachUserExactlyWhatItSaysAndNothingMore) {
    VAVEVARD_NEEDS_ROOT();
    DaemonThread d({}, nullptr, {}, policy("allow-subscribe uid:65534 = ALARM/*\n"
                                           "allow-subscribe uid:65534 = billing/*\n"
                                           "allow-publish uid:65534 = billing/*\n"
                                           "allow-join uid:65534 = workers-*, night\n"
                                           "allow-publish uid:65533 = public/*\n"
                                           "allow-stats = uid:65532\n"));
    ASSERT_TRUE(d.ok()) << d.error();
    RawClient owner(d.port());
    ASSERT_TRUE(owner.handshake() && owner.subscribe(1, ""));
    auto nobody = client_of(kNobody, d.port());
    auto stranger = client_of(kStranger, d.port());
    auto outsider = client_of(kOutsider, d.port());
    Message m;
    ASSERT_TRUE(nobody->handshake() && stranger->handshake());
    ASSERT_TRUE(outsider->handshake(m));
    EXPECT_EQ(m.get("Message"), "user 65532 is not allowed to connect");
    EXPECT_EQ(outsider->stat("refusedStats"), "<no answer>") << "closed after its refusal";
    auto reader = client_of(kOutsider, d.port());
    EXPECT_EQ(reader->stat("refusedConnect"), "1") << "stats alone need no connect";

    // Subscribing to everything gets what the grant allows, and no more.
    ASSERT_TRUE(nobody->subscribe(5, "", m));
    EXPECT_EQ(m.get("Result"), "success");
    for (const char *type : {"secret/payroll", "ALARM/DISK", "billing/x", "audit/log"})
        ASSERT_TRUE(owner.send(event_request(type)));
    EXPECT_EQ(types_received(*nobody), (std::vector<std::string>{"ALARM/DISK", "billing/x"}));
    EXPECT_EQ(types_received(owner).size(), 4u);

    ASSERT_TRUE(nobody->send(event_request("secret/payroll") + event_request("billing/approved")));
    ASSERT_TRUE(stranger->send(event_request("billing/approved") + event_request("public/news")));
    std::vector<std::string> got = types_received(owner);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"billing/approved", "public/news"}));

    // Its own allowed event came back to its own subscription.
    EXPECT_EQ(types_received(*nobody), (std::vector<std::string>{"billing/approved"}));

    for (auto [id, group] : {std::pair{6, "workers-a"}, std::pair{7, "night"}}) {
        ASSERT_TRUE(nobody->subscribe(id, "none", m, group));
        EXPECT_EQ(m.get("Result"), "success") << group;
        ASSERT_TRUE(nobody->read_message(m));
        EXPECT_EQ(m.get("eventType"), "IXO/SYSTEM/MEMBERSHIPLIST");
    }
    ASSERT_TRUE(nobody->subscribe(8, "none", m, "admins"));
    EXPECT_EQ(m.get("Result"), "failure");
    EXPECT_EQ(m.get("Message"), "user 65534 is not allowed to join group 'admins'");
    ASSERT_TRUE(stranger->subscribe(1, "public/*", m));
    EXPECT_EQ(m.get("Result"), "failure");
    EXPECT_EQ(m.get("Message"), "user 65533 is not allowed to subscribe");
    ASSERT_TRUE(stranger->send("POST /stats HTTP/1.1\r\n\r\n"));
    while (stranger->read_message(m) && m.raw.rfind("POST /stats", 0) != 0) {}
    EXPECT_EQ(m.get("Result"), "failure");
    EXPECT_EQ(nobody->stat("Result"), "failure");

    EXPECT_EQ(owner.stat("refusedPublish"), "2");
    EXPECT_EQ(owner.stat("refusedSubscribe"), "1");
    EXPECT_EQ(owner.stat("refusedJoin"), "1");
    EXPECT_EQ(owner.stat("refusedStats"), "2");
    EXPECT_EQ(owner.stat("refusedConnect"), "1");
}

TEST(DaemonAccess, EveryRoutedEventCarriesThePublishersVerifiedUidAndAClaimedOneIsNotBelieved) {
    VAVEVARD_NEEDS_ROOT();
    DaemonThread d({}, nullptr, {}, policy("allow-publish uid:65534 = *\n"));
    ASSERT_TRUE(d.ok()) << d.error();
    RawClient owner(d.port());
    ASSERT_TRUE(owner.handshake() && owner.subscribe(1, "") &&
                owner.subscribe(2, "prop.vavevard.publisherUid = 65534"));
    auto nobody = client_of(kNobody, d.port());
    ASSERT_TRUE(nobody->handshake());

    auto forged = test::outbound_event("billing/approved");
    forged.generating_node = "db01";
    forged.generating_process = "db01:4242";
    forged.property_lines = {"vavevard.publisherUid: 0", "amount: 10", "vavevard.publisherUid: 1000"};
    ASSERT_TRUE(nobody->send(forged.bytes()));
    for (const char *subscriber : {"1", "2"}) {
        Message m;
        ASSERT_TRUE(owner.read_message(m));
        EXPECT_EQ(m.get("SubscriberID"), subscriber);
        EXPECT_EQ(m.get("numberOfProperties"), "2") << m.raw;
        EXPECT_EQ(m.get("amount"), "10");
        EXPECT_EQ(m.get("vavevard.publisherUid"), "65534") << m.raw;
        auto names = m.header_names();
        EXPECT_EQ(std::count(names.begin(), names.end(), "vavevard.publisherUid"), 1) << m.raw;
    }
    // The owner's own events say root, and the filter on the uid passes them by.
    ASSERT_TRUE(owner.send(event_request("mine", {"vavevard.publisherUid: 65534"})));
    Message m;
    ASSERT_TRUE(owner.read_message(m));
    EXPECT_EQ(m.get("vavevard.publisherUid"), "0");
    EXPECT_TRUE(owner.quiet());
    EXPECT_EQ(owner.stat("claimedUidsRemoved"), "3");
}

TEST(DaemonAccess, MemberListsAndDeltasShowTheVerifiedUidBesideTheClaimedSelfId) {
    VAVEVARD_NEEDS_ROOT();
    DaemonThread d({}, nullptr, {}, policy("allow-subscribe uid:65534 = *\nallow-join uid:65534 = team\n"));
    ASSERT_TRUE(d.ok()) << d.error();
    RawClient owner(d.port());
    Message m;
    ASSERT_TRUE(owner.handshake(m, "Pid=7; Home=/srv") && owner.subscribe(1, "none", m, "team", true));
    ASSERT_TRUE(owner.read_message(m));  // its own member list
    auto nobody = client_of(kNobody, d.port());
    ASSERT_TRUE(nobody->handshake(m, "Pid=1; Home=/root"));
    ASSERT_TRUE(nobody->subscribe(3, "none", m, "team", false, {"role: leader"}));
    ASSERT_TRUE(nobody->read_message(m));
    auto list = test::body_block_items(m.body);
    // Each member's fields stay where readers found them; the uid follows.
    ASSERT_EQ(list.size(), 20u) << ::testing::PrintToString(list);
    EXPECT_EQ(list[7], "selfId=Pid=7; Home=/srv");
    EXPECT_TRUE(list[8].starts_with("joined=")) << list[8];
    EXPECT_EQ(list[9], "uid=0");
    EXPECT_EQ(list[15], "selfId=Pid=1; Home=/root");
    EXPECT_EQ(list[17], "uid=65534");
    EXPECT_EQ(list[19], "role=leader");
    EXPECT_EQ(list.back(), "role=leader");

    ASSERT_TRUE(owner.read_message(m));
    auto delta = test::body_block_items(m.body);
    EXPECT_NE(std::find(delta.begin(), delta.end(), "uid=65534"), delta.end());
    EXPECT_NE(std::find(delta.begin(), delta.end(), "selfId=Pid=1; Home=/root"), delta.end());
}

}  // namespace
}  // namespace vavevard
