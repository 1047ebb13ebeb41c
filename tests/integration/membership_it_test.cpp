// Membership through the real daemon: a member in this process sees other
// processes join the group and leave it, by unsubscribing at exit and by
// dying.
#include "harness.h"

namespace vavevar::test {
namespace {

using MembershipAcrossProcesses = IntegrationTest;

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST_F(MembershipAcrossProcesses, MembersSeeOthersJoinAndLeaveWhenTheirProcessEnds) {
    lumo_subscriber *watcher = subscribe("NOTHING/*", "workers", true);
    ASSERT_NE(watcher, nullptr);
    std::int32_t cls = -1;
    std::string block;
    EXPECT_EQ(next(watcher, &block, &cls), "IXO/SYSTEM/MEMBERSHIPLIST");
    EXPECT_EQ(cls, 1);
    EXPECT_TRUE(has(block, "  name=workers\n  members=1\n")) << block;

    // A member that takes its list and exits normally: it unsubscribes.
    auto polite = run_tool({"sub", "NOTHING/*", "--group", "workers", "--component", "polite",
                            "--prop", "role=indexer", "--count", "1"},
                           daemon_->port(), home_.path());
    EXPECT_EQ(next(watcher, &block, &cls), "IXO/SYSTEM/MEMBERSHIPDELTA");
    EXPECT_EQ(cls, 2);
    EXPECT_TRUE(has(block, "members=2\nSeg:change\n  kind=join\n  reason=joined\n")) << block;
    EXPECT_TRUE(has(block, "component=polite")) << block;
    EXPECT_TRUE(has(block, "Seg:properties\n    role=indexer\n")) << block;
    ASSERT_EQ(polite->wait(kLongWaitMs), 0) << polite->stderr_;
    EXPECT_EQ(next(watcher, &block, &cls), "IXO/SYSTEM/MEMBERSHIPDELTA");
    EXPECT_TRUE(has(block, "members=1\nSeg:change\n  kind=leave\n  reason=unsubscribed\n")) << block;
    EXPECT_TRUE(has(block, "component=polite")) << block;

    // A member whose process is killed: its connection drops.
    auto doomed = start_tool_subscriber({"NOTHING/*", "--group", "workers", "--component", "doomed"},
                                        daemon_->port(), home_.path());
    ASSERT_NE(doomed, nullptr);
    next(watcher, &block, &cls);
    EXPECT_TRUE(has(block, "kind=join")) << block;
    EXPECT_TRUE(has(block, "component=doomed")) << block;
    ASSERT_TRUE(doomed->signal(SIGKILL));
    EXPECT_EQ(doomed->wait(), 128 + SIGKILL);
    next(watcher, &block, &cls);
    EXPECT_TRUE(has(block, "members=1\nSeg:change\n  kind=leave\n  reason=disconnected\n")) << block;
    EXPECT_TRUE(has(block, "component=doomed")) << block;
    EXPECT_EQ(lumo_subscriber_receive(watcher, 0, 0), nullptr);
    lumo_subscriber_close(watcher);
}

}  // namespace
}  // namespace vavevar::test
