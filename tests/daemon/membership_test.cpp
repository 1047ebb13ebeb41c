// Membership groups and the body blocks that describe them: who is told what
// on a join and on a leave, and the encoding byte for byte.
#include "membership.h"

#include <gtest/gtest.h>

#include "bodyblock.h"
#include "daemon_harness.h"

namespace vavevard {
namespace {

using test::body_block_items;

Member member(ClientId client, std::int32_t id, bool deltas, std::vector<Property> props = {}) {
    Member m;
    m.client = client;
    m.subscriberId = id;
    m.component = "comp" + std::to_string(client);
    m.selfId = "Pid=" + std::to_string(client) + "; Home=/h";
    m.deltas = deltas;
    m.joinedMs = 1000 + static_cast<std::int64_t>(client);
    m.properties = std::move(props);
    return m;
}

TEST(DaemonBodyBlock, EncodesSegmentsElementsAndLevels) {
    BodySegment a{"a", {}, {}};
    a.element("k", "v");
    std::string expected("\x00\xA3\x7C\x08\xE7\x78\xEE\x24\x5F\xD3\xB6\x4E"
                         "\x01\x00\x02\x61\x00\x00"
                         "\x02\x00\x01\x6B\x00\x00\x01\x76\x00",
                         12 + 6 + 9);
    EXPECT_EQ(encode_body_block({a}), expected);

    EXPECT_EQ(encode_body_block({}), expected.substr(0, 12));

    BodySegment top{"top", {}, {}};
    top.child("mid").child("low").element("x", std::string("\0\1", 2));
    top.element("e", "");
    EXPECT_EQ(body_block_items(encode_body_block({top, a})),
              (std::vector<std::string>{"seg:0:top", "e=", "seg:1:mid", "seg:2:low",
                                        std::string("x=\0\1", 4), "seg:0:a", "k=v"}));
}

TEST(DaemonMembership, JoinSendsTheListToTheJoinerAndDeltasToThoseWhoAsked) {
    Membership groups;
    auto first = groups.join("g", member(1, 5, true, {{"role: main"}}));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].client, 1u);
    EXPECT_EQ(first[0].subscriberId, 5);
    EXPECT_EQ(first[0].event.cls, kMembershipListNotification);
    EXPECT_EQ(first[0].event.type, kMembershipListType);
    EXPECT_EQ(body_block_items(first[0].event.body),
              (std::vector<std::string>{"seg:0:group", "name=g", "members=1", "seg:0:member",
                                        "memberId=1/5", "subscriberId=5", "component=comp1",
                                        "selfId=Pid=1; Home=/h", "joined=1001",
                                        "seg:1:properties", "role=main"}));

    groups.join("g", member(2, 1, false));
    auto third = groups.join("g", member(3, 9, true));
    // List to the joiner, then a delta to member 1 only (2 asked for none).
    ASSERT_EQ(third.size(), 2u);
    EXPECT_EQ(third[0].client, 3u);
    auto list = body_block_items(third[0].event.body);
    EXPECT_EQ(list[2], "members=3");
    EXPECT_EQ(std::count(list.begin(), list.end(), "seg:0:member"), 3);
    EXPECT_EQ(third[1].client, 1u);
    EXPECT_EQ(third[1].subscriberId, 5);
    EXPECT_EQ(third[1].event.cls, kMembershipDeltaNotification);
    EXPECT_EQ(third[1].event.type, kMembershipDeltaType);
    auto delta = body_block_items(third[1].event.body);
    EXPECT_EQ(std::vector<std::string>(delta.begin(), delta.begin() + 8),
              (std::vector<std::string>{"seg:0:group", "name=g", "members=3", "seg:0:change",
                                        "kind=join", "reason=joined", "seg:0:member",
                                        "memberId=3/9"}));
    EXPECT_NE(third[0].event.id, third[1].event.id);
    EXPECT_EQ(groups.member_count(), 3u);
}

TEST(DaemonMembership, LeavingTellsTheRemainingDeltaMembers) {
    Membership groups;
    groups.join("g", member(1, 1, true));
    groups.join("g", member(2, 1, true));
    groups.join("h", member(2, 2, true));
    groups.join("g", member(3, 1, false));

    auto out = groups.leave_client(2, "disconnected");
    // Client 2 leaves g (member 1 told; member 3 asked for no deltas) and h
    // (nobody left to tell).
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].client, 1u);
    auto delta = body_block_items(out[0].event.body);
    EXPECT_EQ(delta[2], "members=2");
    EXPECT_EQ(delta[4], "kind=leave");
    EXPECT_EQ(delta[5], "reason=disconnected");
    EXPECT_EQ(delta[7], "memberId=2/1");
    EXPECT_EQ(groups.group_count(), 1u);
    EXPECT_EQ(groups.members("g").size(), 2u);
    EXPECT_TRUE(groups.members("h").empty());

    EXPECT_TRUE(groups.leave(9, 9, "unsubscribed").empty());  // not a member
    auto last = groups.leave(1, 1, "unsubscribed");
    EXPECT_TRUE(last.empty());  // only member 3 is left, and it wants no deltas
    groups.leave(3, 1, "unsubscribed");
    EXPECT_EQ(groups.group_count(), 0u);
    EXPECT_EQ(groups.member_count(), 0u);
}

}  // namespace
}  // namespace vavevard
