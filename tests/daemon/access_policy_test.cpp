// The access policy as an operator writes it: every mistake in the allow-
// settings is reported with its line, and rules naming groups, anyone or an
// unknown owner decide as documented.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "access_policy.h"
#include "options.h"
#include "peer_identity.h"
#include "support/temp_home.h"

namespace vavevard {
namespace {

using vavevar::test::TempHome;

TEST(AccessPolicyText, EveryMistakeIsReportedWithItsLine) {
    AccessPolicy p;
    std::string problems;
    EXPECT_FALSE(AccessPolicy::from_text("allow-publish = billing/*\n"
                                         "allow-connect user:root = uid:1\n"
                                         "allow-connect = uid:1, user:no-such-user-here\n"
                                         "allow-subscribe uid:5 = type = (\n"
                                         "allow-unknown-peers = maybe\n"
                                         "allow-join gid:x1 = team\n"
                                         "allow-stats = uid:1,, uid:2\n"
                                         "allow-all = someone\n"
                                         "allow-join uid:7 = team,\n",
                                         p, problems));
    EXPECT_EQ(problems,
              "policy:1: allow-publish: needs whom it allows: 'allow-publish user:NAME = ...' (or group:NAME, uid:N, gid:N, *)\n"
              "policy:2: allow-connect user:root: takes the names after '=': 'allow-connect = user:NAME, group:NAME, ...'\n"
              "policy:3: allow-connect: no user is named 'no-such-user-here'\n"
              "policy:4: allow-subscribe uid:5: invalid filter: at character 8: expected a value after '=', found '('\n"
              "policy:5: allow-unknown-peers: invalid value 'maybe' (yes, no)\n"
              "policy:6: allow-join gid:x1: 'gid:x1': not a number\n"
              "policy:7: allow-stats: an empty name in the list\n"
              "policy:8: allow-all: 'someone' is not one of '*', user:NAME, uid:N, group:NAME, gid:N\n"
              "policy:9: allow-join uid:7: an empty group pattern in the list\n");
}

TEST(AccessPolicyText, OnlyTheRulesTakeAWordBeforeTheEqualsSign) {
    TempHome home;
    const std::string conf = home.path() + "/vavevard.conf";
    std::ofstream(conf) << "port uid:1 = 7001\nallow-publish user:root = *\nallow-stats = group:root\n";
    auto env = [](const char *) -> const char * { return nullptr; };
    ParseResult r = parse_options({"--config", conf, "--home", home.path()}, env);
    EXPECT_EQ(r.action, ParseResult::fail);
    EXPECT_EQ(r.message, conf + ":1: port takes no word before '=' ('uid:1')");
    std::ofstream(conf) << "allow-publish user:root = *\nallow-stats = group:root\n";
    r = parse_options({"--config", conf, "--home", home.path()}, env);
    ASSERT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_TRUE(r.options.policy->may_read_stats({1000, {0}}));
}

TEST(AccessPolicyRules, GroupsAnyoneAndUnknownOwnersDecideAsDocumented) {
    AccessPolicy p;
    std::string problems;
    ASSERT_TRUE(AccessPolicy::from_text("allow-all = gid:4242\nallow-connect = *\n", p, problems)) << problems;
    const PeerIdentity member{1000, {100, 4242}}, other{1001, {100}}, unknown{std::nullopt, {}}, root{0u, {}};
    EXPECT_TRUE(p.may_read_stats(member) && p.may_join(member, "x") && p.subscribe_grant(member).unrestricted);
    EXPECT_TRUE(p.may_connect(other));
    EXPECT_FALSE(p.may_read_stats(other) || p.may_join(other, "x") || p.subscribe_grant(other).allowed());
    EXPECT_FALSE(p.may_connect(unknown)) << "unknown owners only where allow-unknown-peers says so";
    EXPECT_TRUE(p.may_read_stats(root) && p.subscribe_grant(root).unrestricted) << "root cannot be locked out";

    ASSERT_TRUE(AccessPolicy::from_text("allow-unknown-peers = yes\nallow-connect = *\n", p, problems)) << problems;
    EXPECT_TRUE(p.may_connect(unknown));
    EXPECT_FALSE(p.may_read_stats(unknown));
}

TEST(AccessPolicyRules, AUsersGroupsComeFromTheDatabasesAndTheKernelsGid) {
    auto root = groups_of_user(0);
    EXPECT_NE(std::find(root.begin(), root.end(), 0u), root.end());
    EXPECT_TRUE(groups_of_user(4000000000u).empty());
    PeerDirectory directory;
    PeerIdentity who = directory.identify(0u, 777u);
    EXPECT_NE(std::find(who.groups.begin(), who.groups.end(), 777u), who.groups.end());
    EXPECT_TRUE(directory.identify(std::nullopt, 777u).groups.empty()) << "no user, no groups";
}

}  // namespace
}  // namespace vavevard
