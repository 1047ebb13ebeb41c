// Membership groups and their body blocks: who is told what on a join and a
// leave, the encoding byte for byte, and a list's size known before it is built.
#include "membership.h"

#include <gtest/gtest.h>

#include "bodyblock.h"
#include "daemon_harness.h"

namespace vavevard {
namespace {

using test::body_block_items;
using Items = std::vector<std::string>;
using Recipients = std::vector<std::pair<ClientId, std::int32_t>>;

Member member(ClientId client, std::int32_t id, bool deltas, std::vector<Property> props = {}) {
    return Member{client, id, "comp" + std::to_string(client), "Pid=" + std::to_string(client) + "; Home=/h",
                  std::move(props), deltas, 1000 + static_cast<std::int64_t>(client),
                  static_cast<std::uint32_t>(500 + client)};
}

TEST(DaemonBodyBlock, EncodesSegmentsElementsAndLevels) {
    BodySegment a{"a", {}, {}};
    a.element("k", "v");
    std::string signature(reinterpret_cast<const char *>(vavevar::wire::kBbSignature), vavevar::wire::kBbSignatureSize);
    EXPECT_EQ(encode_body_block({a}), signature + std::string("\x01\x00\x02" "a\0\0" "\x02\x00\x01k\0\x00\x01v\0", 15));
    BodySegment top{"top", {}, {}};
    top.child("mid").child("low").element("x", std::string("\0\1", 2));
    top.element("e", "");
    EXPECT_EQ(body_block_items(encode_body_block({top, a})),
              (Items{"seg:0:top", "e=", "seg:1:mid", "seg:2:low", std::string("x=\0\1", 4), "seg:0:a", "k=v"}));
}

// A reader of the body keeps the last element of a name; the daemon sends
// what it will read, not names it would silently drop.
TEST(DaemonMembership, AMemberKeepsTheLastPropertyOfEachName) {
    auto kept = last_of_each_name({{"severity: 3"}, {"site: a"}, {"severity: 1"}, {"x:"}, {"x: 2"}});
    std::vector<std::string> lines;
    for (const Property &p : kept) lines.push_back(p.line);
    EXPECT_EQ(lines, (std::vector<std::string>{"site: a", "severity: 1", "x: 2"}));
}

// A third member joins g, where member 1 wants deltas and member 2 does not:
// the joiner gets the list, of the size foretold, and the one member wanting
// deltas gets one delta.
TEST(DaemonMembership, AJoinerGetsTheListForetoldAndMembersWantingDeltasADelta) {
    Membership groups;
    groups.join("g", member(1, 5, true, {{"role: main"}}));
    groups.join("g", member(2, 1, false));
    Member third = member(3, 9, true, {{"a: 1"}, {"b: " + std::string(300, 'x')}});
    const std::size_t foretold = groups.list_bytes("g", third);
    auto out = groups.join("g", third);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].recipients, (Recipients{{3, 9}}));
    EXPECT_EQ(out[0].event.type, kMembershipListType);
    EXPECT_EQ(out[0].event.body.size(), foretold);
    Items list = body_block_items(out[0].event.body);
    // The verified uid comes after every field readers knew before it.
    EXPECT_EQ(Items(list.begin(), list.begin() + 12),
              (Items{"seg:0:group", "name=g", "members=3", "seg:0:member", "memberId=1/5", "subscriberId=5",
                     "component=comp1", "selfId=Pid=1; Home=/h", "joined=1001", "uid=501", "seg:1:properties",
                     "role=main"}));
    EXPECT_EQ(out[1].recipients, (Recipients{{1, 5}}));
    EXPECT_EQ(out[1].event.type, kMembershipDeltaType);
    Items delta = body_block_items(out[1].event.body);
    EXPECT_EQ(Items(delta.begin(), delta.begin() + 8), (Items{"seg:0:group", "name=g", "members=3", "seg:0:change",
                                                              "kind=join", "reason=joined", "seg:0:member",
                                                              "memberId=3/9"}));
}

TEST(DaemonMembership, AClientLeavesAllItsGroupsInOnePass) {
    Membership groups;
    groups.join("g", member(1, 1, true));
    groups.join("g", member(2, 1, true));
    groups.join("g", member(2, 2, true));
    groups.join("h", member(2, 3, true));
    groups.join("g", member(3, 1, false));

    auto out = groups.leave_client(2, "disconnected");
    // Two leaves of g, told to member 1 only; h empties with nobody to tell.
    ASSERT_EQ(out.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(out[i].recipients, (Recipients{{1, 1}}));
        Items delta = body_block_items(out[i].event.body);
        EXPECT_EQ(delta[2], "members=" + std::to_string(3 - i));
        EXPECT_EQ(delta[4] + " " + delta[5] + " " + delta[7], "kind=leave reason=disconnected memberId=2/" +
                                                                  std::to_string(i + 1));
    }
    EXPECT_EQ(groups.group_count(), 1u);
    EXPECT_EQ(groups.members("g").size(), 2u);
    EXPECT_TRUE(groups.leave(9, 9, "unsubscribed").empty());
    EXPECT_TRUE(groups.leave(1, 1, "unsubscribed").empty());  // only 3 is left, wanting no deltas
    groups.leave(3, 1, "unsubscribed");
    EXPECT_EQ(groups.group_count() + groups.member_count(), 0u);
}

}  // namespace
}  // namespace vavevard
