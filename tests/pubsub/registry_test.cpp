// Identifiers, routing by identifier, and what a lost link does to the
// registered subscribers.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pubsub/subscriber.h"
#include "runtime/registry.h"
#include "runtime/runtime_state.h"
#include "support/pubsub_fixture.h"

namespace vavevar::test {
namespace {

class Registry : public PubSubTest {};

TEST_F(Registry, IdentifiersCountFromOneAndAreNeverReused) {
    lumo_subscriber *a = subscribe(), *b = subscribe(), *c = subscribe();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(::lumo_subscriber_id(a), 1);
    EXPECT_EQ(::lumo_subscriber_id(b), 2);
    EXPECT_EQ(::lumo_subscriber_id(c), 3);
    ::lumo_subscriber_close(b);
    lumo_subscriber *d = subscribe();
    EXPECT_EQ(::lumo_subscriber_id(d), 4);
    EXPECT_EQ(::lumo_subscriber_id(nullptr), -1);
    ::lumo_subscriber_close(a);
    ::lumo_subscriber_close(c);
    ::lumo_subscriber_close(d);
}

TEST_F(Registry, TheEleventhSubscriberGrowsTheTableAndKeepsTheOthers) {
    std::vector<lumo_subscriber *> subs;
    for (int i = 0; i < 11; ++i) subs.push_back(subscribe());
    lumo_runtime *rt = lumo_runtime_current();
    {
        LockGuard guard(rt->lock);
        EXPECT_EQ(rt->subscriber_capacity, 20u);
    }
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(::lumo_subscriber_id(subs[i]), i + 1);
        EXPECT_EQ(lumo_registry_has_subscriber(subs[i], i + 1), 1);
    }
    // Routing still reaches the first and the last.
    send_event(1, "to-first");
    send_event(11, "to-eleventh");
    EXPECT_EQ(next_type(subs[0]), "to-first");
    EXPECT_EQ(next_type(subs[10]), "to-eleventh");
    for (lumo_subscriber *s : subs) ::lumo_subscriber_close(s);
}

TEST_F(Registry, EventsForNobodyAreDestroyedAndOthersStillArrive) {
    lumo_subscriber *s = subscribe();
    lumo_subscriber *closed = subscribe();
    ::lumo_subscriber_close(closed);
    send_event(0, "zero");
    send_event(-4, "negative");
    send_event(99, "unknown");
    send_event(2, "closed");
    StatusMessage late;
    late.subscriber_id = "2";
    late.message = "released";
    daemon.send(late.bytes());
    send_event(1, "mine");
    // Arrival order: had any of the others been delivered, it would come first.
    EXPECT_EQ(next_type(s), "mine");
    EXPECT_EQ(::lumo_subscriber_receive(s, 0, 0), nullptr);
    ::lumo_subscriber_close(s);
}

TEST_F(Registry, ALostLinkDropsMembersWithALeaveNoticeAndResubscribesTheRest) {
    lumo_subscriber *member = subscribe("type == 'x'", "group-a");
    lumo_subscriber *plain = subscribe("type == 'y'");
    ASSERT_TRUE(member && plain);
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::subscribe, 2));

    ASSERT_TRUE(daemon.drop());
    lumo_notification *leave = ::lumo_subscriber_receive(member, 1, 5000);
    ASSERT_NE(leave, nullptr);
    EXPECT_STREQ(::lumo_notification_type(leave), "IXO/SYSTEM/LEAVEGROUP");
    EXPECT_EQ(::lumo_notification_getClass(leave), 7);
    int32_t length = -1;
    EXPECT_EQ(::lumo_notification_body(leave, &length), nullptr);
    EXPECT_EQ(length, 0);
    ::lumo_subscriber_relinquish(member, leave);

    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::subscribe, 3));
    EXPECT_FALSE(daemon.wait_for_requests(Request::Kind::subscribe, 4, std::chrono::milliseconds(300)));
    auto again = daemon.requests(Request::Kind::subscribe).back();
    EXPECT_EQ(again.connection, 1u);
    EXPECT_EQ(again.header("SubscriberID"), "2");
    EXPECT_EQ(again.header("Subscription"), "type == 'y'");

    // The dropped member is no longer routed to, and closing it sends nothing.
    send_event(1, "for-the-member");
    send_event(2, "for-the-plain");
    EXPECT_EQ(next_type(plain), "for-the-plain");
    EXPECT_EQ(::lumo_subscriber_receive(member, 1, 200), nullptr);
    ::lumo_subscriber_close(member);
    ::lumo_subscriber_close(plain);
    ::lumo_shutdown();
    auto unsubscribes = daemon.requests(Request::Kind::unsubscribe);
    ASSERT_EQ(unsubscribes.size(), 1u);
    EXPECT_EQ(unsubscribes[0].header("SubscriberID"), "2");
}

TEST_F(Registry, NoSecondSubscribeWhileOneIsStillQueued) {
    daemon.stop_reading();
    // Fills the connection so that the next request stays in the queue.
    std::string big(8 << 20, 'x');
    lumo_publisher *pub = ::lumo_publisher_create("filler");
    ::lumo_publisher_publish(pub, ::lumo_notification_create("big", big.data(),
                                                             static_cast<int32_t>(big.size())));
    lumo_subscriber *s = ::lumo_subscriber_create_async(nullptr, "comp", nullptr, nullptr);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(daemon.drop());
    daemon.resume_reading();
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::subscribe, 1));
    EXPECT_FALSE(daemon.wait_for_requests(Request::Kind::subscribe, 2, std::chrono::milliseconds(300)));
    ::lumo_publisher_close(pub);
    ::lumo_subscriber_close(s);
}

TEST_F(Registry, ShutdownReleasesWhatIsStillOpen) {
    lumo_subscriber *s = subscribe();
    send_event(1, "kept");
    lumo_notification *held = ::lumo_subscriber_receive(s, 1, 5000);
    ASSERT_NE(held, nullptr);
    send_event(1, "queued");
    ASSERT_NE(::lumo_publisher_create("left-open"), nullptr);
    ::lumo_shutdown();  // the leak checker watches what this leaves
    EXPECT_EQ(lumo_runtime_current(), nullptr);
}

}  // namespace
}  // namespace vavevar::test

namespace vavevar::test {
namespace {

TEST_F(Registry, AMemberStillAwaitingItsAnswerIsRefusedWhenTheLinkIsLost) {
    daemon.answer_subscribes(std::nullopt);
    lumo_subscriber *s = ::lumo_subscriber_create_async(nullptr, "comp", "group-a", nullptr);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::subscribe, 1));
    EXPECT_EQ(::lumo_subscriber_status(s, nullptr), 1);
    ASSERT_TRUE(daemon.drop());
    // The answer can never come now: the subscriber is dropped and refused.
    auto start = std::chrono::steady_clock::now();
    std::int32_t status = 1;
    while (status == 1 && seconds_since(start) < 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        status = ::lumo_subscriber_status(s, nullptr);
    }
    EXPECT_EQ(status, 2);
    ::lumo_subscriber_close(s);
}

}  // namespace
}  // namespace vavevar::test
