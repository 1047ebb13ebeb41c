// Subscribers and publishers on a fake daemon: identifiers, routing, the
// subscribe exchange in all its forms, a lost link, and publishing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "notification/notification.h"
#include "port/memory.h"
#include "pubsub/subscriber.h"
#include "pubsub/registry.h"
#include "runtime/runtime_state.h"
#include "support/pubsub_fixture.h"
#include "support/threading.h"

namespace vavevar::test {
namespace {

using std::chrono::milliseconds;
using Kind = Request::Kind;
using Subscriber = PubSubTest;
using Publisher = PubSubTest;

TEST_F(Subscriber, IdentifiersCountUpWithoutReuseAndRouteEventsAsTheTableGrows) {
    std::vector<lumo_subscriber *> subs;
    for (int i = 0; i < 11; ++i) subs.push_back(subscribe());  // one more than the first table holds
    for (int i = 0; i < 11; ++i) EXPECT_EQ(::lumo_subscriber_id(subs[i]), i + 1);
    ::lumo_subscriber_close(subs[1]);
    subs[1] = subscribe();
    EXPECT_EQ(::lumo_subscriber_id(subs[1]), 12);
    // A name defaults to the identifier.
    EXPECT_STREQ(::lumo_subscriber_getName(subs[1]), "12");
    ::lumo_subscriber_setName(subs[1], "x");
    EXPECT_STREQ(::lumo_subscriber_getName(subs[1]), "x");
    ::lumo_subscriber_setName(subs[1], nullptr);
    EXPECT_STREQ(::lumo_subscriber_getName(subs[1]), "12");

    // Strays (2 is closed) go first, so a misrouted one would be received first.
    for (int id : {0, -4, 99, 2}) send_event(id, "stray");
    daemon.send(StatusMessage{"success", "2", {}}.bytes());
    auto own = [](lumo_subscriber *s) { return "to-" + std::to_string(::lumo_subscriber_id(s)); };
    for (lumo_subscriber *s : subs) send_event(::lumo_subscriber_id(s), own(s));
    for (lumo_subscriber *s : subs) EXPECT_EQ(next_type(s), own(s));
    for (lumo_subscriber *s : subs) EXPECT_EQ(::lumo_subscriber_receive(s, 0, 0), nullptr);

    // The shutdown releases every subscriber with what it holds (the leak
    // checker looks): a held and a queued notification, and a publisher.
    send_event(1, "held");
    ASSERT_NE(::lumo_subscriber_receive(subs[0], 1, 5000), nullptr);
    send_event(1, "queued");
    ASSERT_NE(::lumo_publisher_create("left-open"), nullptr);
    ::lumo_shutdown();
    EXPECT_EQ(lumo_runtime_current(), nullptr);
}

TEST_F(Subscriber, CreationAndCloseSendByteExactRequests) {
    lumo_proplist *props = ::lumo_proplist_create();
    lumo_proplist *none = ::lumo_proplist_create();
    ::lumo_proplist_put(props, "zone", "north");
    ::lumo_proplist_put(props, "empty", "");
    ::lumo_proplist_put(props, "zone", "south");  // replaced in place
    char *status = reinterpret_cast<char *>(1);
    lumo_subscriber *full = ::lumo_subscriber_create_wdeltas("type == 'a'", "comp", "grp", props, &status);
    EXPECT_EQ(status, nullptr);
    lumo_subscriber *bare = ::lumo_subscriber_create(nullptr, "comp", nullptr, nullptr, nullptr);
    lumo_subscriber *empty = ::lumo_subscriber_create("", "", "", none, nullptr);
    ::lumo_proplist_destroy(&props);  // the subscribers keep their own copies
    ::lumo_proplist_destroy(&none);
    ASSERT_TRUE(full && bare && empty);
    const std::string head = "POST /subscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: ";
    auto subscribes = daemon.requests(Kind::subscribe);
    ASSERT_EQ(subscribes.size(), 3u);
    EXPECT_EQ(subscribes[0].raw, head + "1\r\nSubscription: type == 'a'\r\nComponent: comp\r\n"
                                 "MbrInterest: grp\r\nMbrDeltas: true\r\nnumberOfProperties: 2\r\n"
                                 "zone: south\r\nempty: \r\n\r\n");
    EXPECT_EQ(subscribes[1].raw, head + "2\r\nSubscription: null\r\nComponent: comp\r\n"
                                 "MbrInterest: null\r\nMbrDeltas: false\r\nnumberOfProperties: 0\r\n\r\n");
    EXPECT_EQ(subscribes[2].raw, head + "3\r\nSubscription: \r\nComponent: \r\n"
                                 "MbrInterest: \r\nMbrDeltas: false\r\nnumberOfProperties: 0\r\n\r\n");
    for (lumo_subscriber *s : {full, bare, empty}) ::lumo_subscriber_close(s);
    ASSERT_TRUE(daemon.wait_for_requests(Kind::unsubscribe, 3));
    EXPECT_EQ(daemon.requests(Kind::unsubscribe)[0].raw,
              "POST /unsubscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 1\r\n\r\n");
}

TEST_F(Subscriber, AnswersRefusedTimedOutAsynchronousOrCutShortByAShutdown) {
    daemon.answer_subscribes("failure", "bad filter at 3");
    char *status = nullptr;
    EXPECT_EQ(::lumo_subscriber_create("((", "comp", nullptr, nullptr, &status), nullptr);
    EXPECT_STREQ(status, "bad filter at 3");
    std::free(status);
    EXPECT_FALSE(lumo_registry_has_subscriber(nullptr, 1));
    daemon.answer_subscribes(std::nullopt);
    Stopwatch watch;
    EXPECT_EQ(::lumo_subscriber_create_wtimeout(nullptr, "comp", nullptr, nullptr, &status, 200), nullptr);
    EXPECT_GE(watch.ms(), 190);
    EXPECT_LT(watch.ms(), 200 + kLateMs);
    EXPECT_STREQ(status, "timedout");
    std::free(status);
    // Asynchronous answers are collected once. The timed-out creation's reply
    // was detached from its slot: its late answer finds none.
    lumo_subscriber *ok = ::lumo_subscriber_create_async(nullptr, "comp", nullptr, nullptr);
    lumo_subscriber *refused = ::lumo_subscriber_create_async(nullptr, "comp", nullptr, nullptr);
    ASSERT_TRUE(ok && refused);
    EXPECT_EQ(::lumo_subscriber_status(ok, &status), 1);
    ASSERT_TRUE(daemon.wait_for_requests(Kind::subscribe, 4));
    daemon.send(StatusMessage{"success", "2", {}}.bytes() + StatusMessage{"success", "3", {}}.bytes() +
                StatusMessage{"failure", "4", "not allowed"}.bytes());
    EXPECT_TRUE(wait_until([&] { return ::lumo_subscriber_status(ok, nullptr) != 1; }));
    EXPECT_EQ(::lumo_subscriber_status(ok, nullptr), 0);
    std::int32_t b = 1;
    EXPECT_TRUE(wait_until([&] { return (b = ::lumo_subscriber_status(refused, &status)) != 1; }));
    EXPECT_EQ(b, 2);
    EXPECT_STREQ(status, "not allowed");
    std::free(status);
    EXPECT_EQ(::lumo_subscriber_status(refused, &status), 0);  // collected once
    EXPECT_EQ(status, nullptr);
    // A creator waiting without a time-out is woken by the shutdown.
    std::atomic<lumo_subscriber *> waiting{ok};
    std::thread creator([&] { waiting = subscribe(); });
    ASSERT_TRUE(daemon.wait_for_requests(Kind::subscribe, 5));
    ::lumo_shutdown();
    creator.join();
    EXPECT_EQ(waiting.load(), nullptr);
}

TEST_F(Subscriber, ALostLinkEndsMembershipsButKeepsPlainSubscriptions) {
    lumo_subscriber *member = subscribe("type == 'x'", "group-a");
    lumo_subscriber *plain = subscribe("type == 'y'");
    // A member still awaiting its answer: it can never come now.
    daemon.answer_subscribes(std::nullopt);
    lumo_subscriber *pending = ::lumo_subscriber_create_async(nullptr, "comp", "group-b", nullptr);
    ASSERT_TRUE(member && plain && pending);
    ASSERT_TRUE(daemon.wait_for_requests(Kind::subscribe, 3));

    ASSERT_TRUE(daemon.drop());
    lumo_notification *leave = ::lumo_subscriber_receive(member, 1, 5000);
    ASSERT_NE(leave, nullptr);
    EXPECT_STREQ(::lumo_notification_type(leave), "IXO/SYSTEM/LEAVEGROUP");
    EXPECT_EQ(::lumo_notification_getClass(leave), 7);
    ::lumo_subscriber_relinquish(member, leave);
    EXPECT_EQ(::lumo_subscriber_receive(member, 0, 0), nullptr);  // exactly one notice
    EXPECT_TRUE(wait_until([&] { return ::lumo_subscriber_status(pending, nullptr) == 2; }));

    // Only the plain subscriber is subscribed again, once.
    ASSERT_TRUE(daemon.wait_for_requests(Kind::subscribe, 4));
    EXPECT_FALSE(daemon.wait_for_requests(Kind::subscribe, 5, milliseconds(300)));
    auto again = daemon.requests(Kind::subscribe).back();
    EXPECT_EQ(again.connection, 1u);
    EXPECT_EQ(again.header("SubscriberID"), "2");
    EXPECT_EQ(again.header("Subscription"), "type == 'y'");

    // The dropped member is no longer routed to, and closing it sends nothing.
    send_event(1, "for-the-member");
    send_event(2, "for-the-plain");
    EXPECT_EQ(next_type(plain), "for-the-plain");
    EXPECT_EQ(::lumo_subscriber_receive(member, 0, 0), nullptr);
    for (lumo_subscriber *s : {member, pending, plain}) ::lumo_subscriber_close(s);
    ::lumo_shutdown();  // has written the unsubscribe; the daemon may still be reading it
    ASSERT_TRUE(daemon.wait_for_requests(Kind::unsubscribe, 1));
    auto unsubscribes = daemon.requests(Kind::unsubscribe);
    ASSERT_EQ(unsubscribes.size(), 1u);
    EXPECT_EQ(unsubscribes[0].header("SubscriberID"), "2");
}

TEST_F(Subscriber, NoSecondSubscribeWhileOneIsStillQueued) {
    daemon.stop_reading();
    // Fills the connection so that the next request stays in the queue.
    std::string big(8 << 20, 'x');
    lumo_publisher *pub = ::lumo_publisher_create("filler");
    ::lumo_publisher_publish(
        pub, ::lumo_notification_create("big", big.data(), static_cast<int32_t>(big.size())));
    lumo_subscriber *s = ::lumo_subscriber_create_async(nullptr, "comp", nullptr, nullptr);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(daemon.drop());
    daemon.resume_reading();
    ASSERT_TRUE(daemon.wait_for_requests(Kind::subscribe, 1));
    EXPECT_FALSE(daemon.wait_for_requests(Kind::subscribe, 2, milliseconds(300)));
    ::lumo_publisher_close(pub);
    ::lumo_subscriber_close(s);
}

TEST_F(Publisher, IdentifiersAreSelfIdSlotAndSequenceUnlessStampedBefore) {
    const std::string hosts[] = {"h", std::string(300, 'n')};
    for (int slot = 0; slot < 2; ++slot) {
        const std::string &host = hosts[slot];
        SCOPED_TRACE(host.size());
        lumo_runtime *rt = lumo_runtime_current();
        lumo_free(rt->host_name);
        lumo_free(rt->self_id);
        rt->host_name = lumo_strdup(host.c_str());
        rt->self_id = lumo_strdup((host + ":77").c_str());
        const std::size_t before = daemon.requests(Kind::event).size();
        lumo_publisher *pub = ::lumo_publisher_create("comp");
        ASSERT_NE(pub, nullptr);
        ::lumo_publisher_publish(pub, ::lumo_notification_create("t1", nullptr, 0));
        ::lumo_publisher_publish(pub, nullptr);  // takes no sequence number
        ::lumo_publisher_publish(pub, ::lumo_notification_create("t2", nullptr, 0));
        lumo_notification *stamped = ::lumo_notification_create("t3", nullptr, 0);
        lumo_notification_stampForPublish(stamped, "given", "node", "proc", "fixed-id", 0);
        ::lumo_publisher_publish(pub, stamped);
        ASSERT_TRUE(daemon.wait_for_requests(Kind::event, before + 3));
        auto events = daemon.requests(Kind::event);
        const std::string id = host + ":77" + std::to_string(slot);
        const struct {
            std::size_t at;
            const char *name;
            std::string value;
        } expected[] = {{0, "eventId", id + "1"}, {1, "eventId", id + "2"},
                        {0, "generatingComponent", "comp"}, {0, "generatingNode", host},
                        {0, "generatingProcess", host + ":77"},
                        {0, "SubscriberID", "0"}, {0, "instanceName", "fake-instance"},
                        {2, "eventId", "fixed-id"}, {2, "generatingComponent", "given"}};
        for (const auto &e : expected) EXPECT_EQ(events[before + e.at].header(e.name), e.value) << e.name;
        ::lumo_publisher_close(pub);
    }
}

}  // namespace
}  // namespace vavevar::test
