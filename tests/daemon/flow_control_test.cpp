// A client that stops reading: past its output bound its events are skipped
// and counted rather than its connection reset, a gap notice with the exact
// count reaches each subscription once it reads again, what is never skipped
// still arrives, everyone else is served meanwhile, and only a client that
// takes nothing for the slow-client time-out is closed.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <thread>

#include "daemon_harness.h"

namespace vavevard {
namespace {

using test::DaemonThread;
using test::Message;
using test::outbound_event;
using test::RawClient;

bool starts_with(const std::string &text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

// The sequence number an event id "pub:<n>" carries.
long sequence(const Message &m) { return std::stol(m.get("eventId").substr(4)); }

// Polls the stats until `name` reads `value`, or gives up after a few seconds.
bool stat_reaches(RawClient &asker, const std::string &name, const std::string &value) {
    for (int i = 0; i < 500; ++i) {
        if (asker.stat(name) == value) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(DaemonFlowControl, AStalledSubscriberIsSkippedAndCountedThenToldTheGapWhileAnotherGetsEverything) {
    Limits limits;
    limits.maxPendingBytes = 256 * 1024;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    RawClient slow(daemon.port()), fast(daemon.port()), pub(daemon.port()), asker(daemon.port()),
        joiner(daemon.port());
    Message hello, m;
    ASSERT_TRUE(slow.handshake(hello) && fast.handshake() && pub.handshake() && joiner.handshake());
    const std::string slowId = hello.get("ClientId");
    ASSERT_TRUE(slow.subscribe(7, "BULK") && fast.subscribe(1, "BULK"));
    ASSERT_TRUE(slow.subscribe(8, "NONE", m, "grp", true) && slow.read_message(m));  // its member list

    // The fast subscriber reads on its own thread while the burst goes out.
    constexpr int kEvents = 1500;
    std::atomic<int> fastSeen{0};
    std::atomic<bool> fastInOrder{true};
    std::thread reader([&] {
        Message e;
        for (int i = 0; i < kEvents && fast.read_message(e, 20000); ++i) {
            if (e.kind != Message::Kind::event || sequence(e) != i) fastInOrder = false;
            ++fastSeen;
        }
    });
    auto e = outbound_event("BULK");
    e.body = std::string(16 * 1024, 'x');
    for (int i = 0; i < kEvents; ++i) {
        e.event_id = "pub:" + std::to_string(i);
        ASSERT_TRUE(pub.send(e.bytes()));
        // Paced to the fast reader, which must not fall behind by the bound:
        // that one is to see what a subscriber that keeps up gets.
        for (int wait = 0; i - fastSeen.load() > 8 && wait < 5000; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reader.join();
    EXPECT_EQ(fastSeen.load(), kEvents);
    EXPECT_TRUE(fastInOrder.load());
    ASSERT_TRUE(stat_reaches(asker, "eventsIn", std::to_string(kEvents)));
    // Skipping, not dropping; and a change in its group still reaches it.
    EXPECT_EQ(asker.stat("slowConsumerDisconnects"), "0");
    EXPECT_EQ(asker.stat("clients"), "4");
    const std::string skipped = asker.stat("eventsSkipped");
    ASSERT_GT(std::stol(skipped), 0);
    ASSERT_TRUE(joiner.subscribe(3, "NONE", m, "grp", false));
    EXPECT_EQ(asker.stat("gapNotices"), "0");
    Message stats;
    ASSERT_TRUE(asker.send("POST /stats HTTP/1.1\r\n\r\n") && asker.read_message(stats));
    EXPECT_NE(stats.raw.find("\r\nskipped: " + slowId + " 7 " + skipped + "\r\n"), std::string::npos) << stats.raw;

    // Now it reads: events in order, the delta, then one notice with the count.
    long received = 0, last = -1;
    bool sawDelta = false;
    std::optional<Message> gap;
    while (!gap && slow.read_message(m)) {
        if (m.kind == Message::Kind::event && m.get("SubscriberID") == "7") {
            EXPECT_GT(sequence(m), last);
            last = sequence(m);
            ++received;
        } else if (m.get("className") == "MembershipDeltaNotification") {
            sawDelta = true;
        } else if (starts_with(m.raw, "POST /gap HTTP/1.1\r\n")) {
            gap = m;
        }
    }
    ASSERT_TRUE(gap.has_value());
    EXPECT_EQ(gap->raw, "POST /gap HTTP/1.1\r\nSubscriberID: 7\r\nskipped: " + skipped + "\r\n\r\n");
    EXPECT_EQ(received + std::stol(skipped), kEvents);
    EXPECT_TRUE(sawDelta);
    // The next event comes after the notice, and no second notice comes.
    e.event_id = "pub:" + std::to_string(kEvents);
    e.body = "after";
    ASSERT_TRUE(pub.send(e.bytes()));
    ASSERT_TRUE(slow.read_message(m));
    EXPECT_EQ(m.kind, Message::Kind::event);
    EXPECT_EQ(m.body, "after");
    EXPECT_TRUE(slow.quiet());
    EXPECT_EQ(asker.stat("gapNotices"), "1");
    EXPECT_EQ(asker.stat("eventsSkipped"), skipped);
}

// A subscriber whose output the bound holds back gets its status answers
// and gap notices only for the subscriptions that skipped: one that was not
// routed anything during the burst is told nothing.
TEST(DaemonFlowControl, OnlyTheSubscriptionsThatSkippedAreToldAndEachItsOwnCount) {
    Limits limits;
    limits.maxPendingBytes = 128 * 1024;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    RawClient slow(daemon.port()), pub(daemon.port()), asker(daemon.port());
    ASSERT_TRUE(slow.handshake() && pub.handshake());
    ASSERT_TRUE(slow.subscribe(1, "A") && slow.subscribe(2, "B") && slow.subscribe(3, "C"));
    auto a = outbound_event("A"), b = outbound_event("B");
    a.body = b.body = std::string(8 * 1024, 'x');
    constexpr int kEach = 1500;
    for (int i = 0; i < kEach; ++i) ASSERT_TRUE(pub.send(a.bytes()) && pub.send(b.bytes()));
    ASSERT_TRUE(stat_reaches(asker, "eventsIn", std::to_string(2 * kEach)));
    std::map<std::string, long> received, told;
    Message m;
    while (slow.read_message(m, 1000)) {
        if (m.kind == Message::Kind::event) ++received[m.get("SubscriberID")];
        else if (starts_with(m.raw, "POST /gap ")) told[m.get("SubscriberID")] += std::stol(m.get("skipped"));
    }
    EXPECT_EQ(received["1"] + told["1"], kEach);
    EXPECT_EQ(received["2"] + told["2"], kEach);
    EXPECT_GT(told["1"], 0);
    EXPECT_GT(told["2"], 0);
    EXPECT_EQ(told.count("3"), 0u);
    EXPECT_EQ(asker.stat("eventsSkipped"), std::to_string(told["1"] + told["2"]));
}

// Closed for taking nothing while output waits, not for reading slowly.
TEST(DaemonFlowControl, TheSlowClientTimeOutClosesAClientThatReadsNothingButNotOneThatReadsSlowly) {
    Limits limits;
    limits.maxPendingBytes = 256 * 1024;
    limits.slowClientTimeoutMs = 1500;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    RawClient stalled(daemon.port()), sluggish(daemon.port()), pub(daemon.port()), asker(daemon.port());
    ASSERT_TRUE(stalled.handshake() && sluggish.handshake() && pub.handshake());
    ASSERT_TRUE(stalled.subscribe(1, "BULK") && sluggish.subscribe(1, "BULK"));
    auto e = outbound_event("BULK");
    e.body = std::string(16 * 1024, 'x');
    // First more than the kernel's buffers hold for either.
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(pub.send(e.bytes()));
    // The sluggish one takes a little every few hundred milliseconds, well
    // within the time-out, for longer than the time-out and a sweep, while
    // more is published than it takes: both always have output waiting.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(4000);
    Message m;
    bool sluggishRead = true;
    while (std::chrono::steady_clock::now() < until && sluggishRead) {
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(pub.send(e.bytes()));
        for (int i = 0; i < 4 && sluggishRead; ++i) sluggishRead = sluggish.read_message(m);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_TRUE(sluggishRead);
    EXPECT_TRUE(stalled.closed_by_daemon(3000));
    EXPECT_EQ(asker.stat("slowConsumerDisconnects"), "1");
    EXPECT_EQ(asker.stat("clients"), "2");
    EXPECT_EQ(asker.stat("timeoutDisconnects"), "0");
}

}  // namespace
}  // namespace vavevard
