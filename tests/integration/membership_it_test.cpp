// Membership through the real daemon: a member in this process sees other
// processes join the group and leave it, by unsubscribing at exit and by
// dying.
#include "harness.h"

namespace vavevar::test {
namespace {

struct Received {
    std::int32_t cls = -1;
    std::string type, block;
};

Received receive(lumo_subscriber *s) {
    Received r;
    lumo_notification *n = lumo_subscriber_receive(s, 1, kLongWaitMs);
    if (n == nullptr) return r;
    r.cls = lumo_notification_getClass(n);
    r.type = lumo_notification_type(n) ? lumo_notification_type(n) : "";
    std::int32_t length = 0;
    const char *body = lumo_notification_body(n, &length);
    lumo_bb *block = lumo_bb_body2block(body, length);
    char *text = lumo_bb_toString(block);
    r.block = text ? text : "";
    std::free(text);
    lumo_bb_destroy(block);
    lumo_subscriber_relinquish(s, n);
    return r;
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

using MembershipAcrossProcesses = IntegrationTest;

TEST_F(MembershipAcrossProcesses, MembersSeeOthersJoinAndLeaveWhenTheirProcessEnds) {
    lumo_subscriber *watcher = subscribe("NOTHING/*", "workers", true);
    ASSERT_NE(watcher, nullptr);
    Received list = receive(watcher);
    EXPECT_EQ(list.cls, 1);
    EXPECT_EQ(list.type, "IXO/SYSTEM/MEMBERSHIPLIST");
    EXPECT_TRUE(has(list.block, "  name=workers\n  members=1\n")) << list.block;

    // A member that takes its list and exits normally: it unsubscribes.
    auto polite = run_tool({"sub", "NOTHING/*", "--group", "workers", "--component", "polite",
                            "--prop", "role=indexer", "--count", "1", "--format", "json"},
                           daemon_->port(), home_.path());
    Received joined = receive(watcher);
    EXPECT_EQ(joined.cls, 2);
    EXPECT_EQ(joined.type, "IXO/SYSTEM/MEMBERSHIPDELTA");
    EXPECT_TRUE(has(joined.block, "members=2\nSeg:change\n  kind=join\n  reason=joined\n")) << joined.block;
    EXPECT_TRUE(has(joined.block, "component=polite")) << joined.block;
    EXPECT_TRUE(has(joined.block, "Seg:properties\n    role=indexer\n")) << joined.block;

    ASSERT_EQ(polite->wait(kLongWaitMs), 0) << polite->stderr_;
    // What it printed: its own list, naming both members.
    EXPECT_TRUE(has(polite->stdout_, "\"class\":1,\"type\":\"IXO/SYSTEM/MEMBERSHIPLIST\"")) << polite->stdout_;
    EXPECT_TRUE(has(polite->stdout_, "{\"name\":\"members\",\"value\":\"2\"}")) << polite->stdout_;
    EXPECT_TRUE(has(polite->stdout_, "{\"name\":\"component\",\"value\":\"it\"}")) << polite->stdout_;
    Received left = receive(watcher);
    EXPECT_EQ(left.cls, 2);
    EXPECT_TRUE(has(left.block, "members=1\nSeg:change\n  kind=leave\n  reason=unsubscribed\n")) << left.block;
    EXPECT_TRUE(has(left.block, "component=polite")) << left.block;

    // A member whose process is killed: its connection drops. It prints its
    // list as text, the member list decoded.
    auto doomed = start_tool_subscriber({"NOTHING/*", "--group", "workers", "--component", "doomed"},
                                        daemon_->port(), home_.path());
    ASSERT_NE(doomed, nullptr);
    std::string line;
    while (doomed->read_stdout_line(line) && line != "  Body:") {}
    ASSERT_TRUE(doomed->read_stdout_line(line));
    EXPECT_EQ(line, "Seg:group");
    ASSERT_TRUE(doomed->read_stdout_line(line));
    EXPECT_EQ(line, "  name=workers");
    joined = receive(watcher);
    EXPECT_TRUE(has(joined.block, "kind=join")) << joined.block;
    EXPECT_TRUE(has(joined.block, "component=doomed")) << joined.block;
    ASSERT_TRUE(doomed->signal(SIGKILL));
    EXPECT_EQ(doomed->wait(), 128 + SIGKILL);
    left = receive(watcher);
    EXPECT_TRUE(has(left.block, "members=1\nSeg:change\n  kind=leave\n  reason=disconnected\n")) << left.block;
    EXPECT_TRUE(has(left.block, "component=doomed")) << left.block;

    EXPECT_EQ(lumo_subscriber_receive(watcher, 0, 0), nullptr);
    auto stats = daemon_stats(daemon_->port(), home_.path());
    EXPECT_EQ(stats["groups"], "1");
    EXPECT_EQ(stats["members"], "1");
    lumo_subscriber_close(watcher);
}

}  // namespace
}  // namespace vavevar::test
