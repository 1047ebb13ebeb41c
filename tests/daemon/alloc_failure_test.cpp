// A failed allocation while the daemon serves one client costs that client
// (or that request), never the daemon: every allocation the daemon's thread
// makes for one client's session is made to fail in turn, and each time the
// daemon must go on serving the others and keep its books straight.
#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "failing_new.h"

namespace vavevard {
namespace {

using test::Message;
using test::outbound_event;
using test::RawClient;

TEST(DaemonAllocationFailure, AFailedAllocationCostsOnlyTheClientItWasFor) {
    if (!test::new_seam_available()) GTEST_SKIP() << "no allocation seam under this sanitizer";
    struct QuietLog {
        QuietLog() { set_log_level(LogLevel::error); }
        ~QuietLog() { set_log_level(LogLevel::info); }
    } quiet;
    test::DaemonThread server({}, test::mark_thread_for_faults);
    ASSERT_TRUE(server.ok()) << server.error();

    RawClient sub(server.port()), member(server.port()), pub(server.port());
    Message m;
    ASSERT_TRUE(sub.handshake() && pub.handshake() && member.handshake());
    ASSERT_TRUE(sub.subscribe(1, "PROBE/*"));
    ASSERT_TRUE(member.subscribe(1, "NONE", m, "grp", true) && member.read_message(m));

    long fired = 0;
    for (long n = 1; n < 5000; ++n) {
        bool reached = true;
        {
            RawClient victim(server.port());
            test::NewFault fault(n - 1, true, true);
            // Quick waits: the victim may well be gone.
            bool ok = victim.handshake(m) && victim.subscribe(3, "PROBE/*", m, "grp", false, {"role: x"});
            if (ok) ok = victim.read_message(m, 500);  // its member list
            auto e = outbound_event("PROBE/victim");
            e.body = std::string(100, 'v');
            if (ok) ok = victim.send(e.bytes()) && victim.stat("eventsIn") != "<no answer>";
            reached = fault.fired();
            fired += reached;
            if (reached && !ok) {
                EXPECT_TRUE(victim.closed_by_daemon(2000)) << "allocation " << n;
            }
        }
        // The others are served: an event from the healthy publisher arrives,
        // after whatever of the victim's got through.
        auto probe = outbound_event("PROBE/" + std::to_string(n));
        ASSERT_TRUE(pub.send(probe.bytes())) << "allocation " << n;
        std::string type;
        while (type != probe.event_type && sub.read_message(m)) type = m.get("eventType");
        ASSERT_EQ(type, probe.event_type) << "after failing allocation " << n;
        while (member.read_message(m, 20)) {}
        // Nothing of the victim is left once it is gone.
        std::string members;
        for (int i = 0; i < 100 && (members = pub.stat("members")) != "1"; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(members, "1") << "after failing allocation " << n;
        ASSERT_EQ(pub.stat("clients"), "3") << "after failing allocation " << n;
        ASSERT_EQ(pub.stat("subscriptions"), "2") << "after failing allocation " << n;
        if (!reached) break;  // the whole session made fewer than n allocations
    }
    EXPECT_GT(fired, 50) << "too few allocations failed to mean anything";
}

}  // namespace
}  // namespace vavevard
