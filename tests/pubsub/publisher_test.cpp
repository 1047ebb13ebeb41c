// Publishing: identifiers, stamping once, and what reaches the daemon.
#include <gtest/gtest.h>

#include <cstring>

#include "notification/notification.h"
#include "port/memory.h"
#include "pubsub/publisher.h"
#include "runtime/runtime_state.h"
#include "support/pubsub_fixture.h"

namespace vavevar::test {
namespace {

class Publisher : public PubSubTest {
protected:
    // Gives the runtime another host name and self id, as the formatting of
    // identifiers sees them.
    void pretend_host(const char *host, const char *self_id) {
        lumo_runtime *rt = lumo_runtime_current();
        lumo_free(rt->host_name);
        lumo_free(rt->self_id);
        rt->host_name = lumo_strdup(host);
        rt->self_id = lumo_strdup(self_id);
    }
};

TEST_F(Publisher, IdentifiersRunSelfIdSlotAndSequenceTogether) {
    pretend_host("h", "h:77");
    lumo_publisher *pub = ::lumo_publisher_create("comp");
    ASSERT_NE(pub, nullptr);
    ::lumo_publisher_publish(pub, ::lumo_notification_create("t1", nullptr, 0));
    ::lumo_publisher_publish(pub, ::lumo_notification_create("t2", nullptr, 0));
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 2));
    auto events = daemon.requests(Request::Kind::event);
    EXPECT_EQ(events[0].header("eventId"), "h:7701");
    EXPECT_EQ(events[1].header("eventId"), "h:7702");
    EXPECT_EQ(events[0].header("generatingComponent"), "comp");
    EXPECT_EQ(events[0].header("generatingNode"), "h");
    EXPECT_EQ(events[0].header("generatingProcess"), "h:77");
    EXPECT_EQ(events[0].header("SubscriberID"), "0");
    EXPECT_EQ(events[0].header("instanceName"), "fake-instance");
    ::lumo_publisher_close(pub);
}

TEST_F(Publisher, AVeryLongHostNameNeverOverrunsTheIdentifier) {
    std::string host(300, 'n');
    pretend_host(host.c_str(), (host + ":12345").c_str());
    lumo_publisher *pub = ::lumo_publisher_create("comp");
    ::lumo_publisher_publish(pub, ::lumo_notification_create("t", nullptr, 0));
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 1));
    EXPECT_EQ(daemon.requests(Request::Kind::event)[0].header("eventId"), host + ":1234501");
    ::lumo_publisher_close(pub);
}

TEST_F(Publisher, ANotificationIsStampedOnlyOnce) {
    lumo_publisher *first = ::lumo_publisher_create("first");
    lumo_publisher *second = ::lumo_publisher_create("second");
    lumo_notification *n = ::lumo_notification_create("t", nullptr, 0);
    lumo_notification_stampForPublish(n, "given", "node", "proc", "fixed-id", 0);
    ::lumo_publisher_publish(second, n);
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 1));
    auto event = daemon.requests(Request::Kind::event)[0];
    EXPECT_EQ(event.header("eventId"), "fixed-id");
    EXPECT_EQ(event.header("generatingComponent"), "given");
    ::lumo_publisher_close(first);
    ::lumo_publisher_close(second);
}

TEST_F(Publisher, NullArgumentsLeaveTheNotificationWithTheCaller) {
    lumo_publisher *pub = ::lumo_publisher_create("comp");
    lumo_notification *n = ::lumo_notification_create("kept", nullptr, 0);
    ::lumo_publisher_publish(nullptr, n);
    ::lumo_publisher_publish(pub, nullptr);
    EXPECT_EQ(::lumo_notification_id(n), nullptr);  // untouched and still ours
    lumo_notification_destroy(n);
    EXPECT_EQ(::lumo_publisher_create(nullptr), nullptr);
    ::lumo_publisher_close(nullptr);
    ::lumo_publisher_close(pub);
}

TEST_F(Publisher, AnOutgoingStreamHeadIsBoundNotSent) {
    lumo_publisher *pub = ::lumo_publisher_create("comp");
    lumo_notification *head = ::lumo_notification_create("stream", nullptr, 0);
    lumo_notification_setClass(head, kOutgoingStreamingNotification);
    ::lumo_publisher_publish(pub, head);
    EXPECT_STREQ(lumo_notification_streamKey(head), ::lumo_notification_id(head));
    EXPECT_EQ(head->streamPublisher, pub);
    ::lumo_publisher_publish(pub, ::lumo_notification_create("after", nullptr, 0));
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 1));
    EXPECT_EQ(daemon.requests(Request::Kind::event)[0].header("eventType"), "after");
    lumo_notification_destroy(head);  // the stream's head stays the caller's
    ::lumo_publisher_close(pub);
}

TEST_F(Publisher, ASubscribersPublisherStampsItsIdentifier) {
    lumo_subscriber *s = subscribe();
    ::lumo_publisher_publish(::lumo_subscriber_getPublisher(s),
                             ::lumo_notification_create("reply", nullptr, 0));
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 1));
    EXPECT_EQ(daemon.requests(Request::Kind::event)[0].header("SubscriberID"), "1");
    ::lumo_subscriber_close(s);
}

TEST(PublisherUnstarted, NothingWithoutAStartedLibrary) {
    EXPECT_EQ(::lumo_publisher_create("comp"), nullptr);
    lumo_notification *n = ::lumo_notification_create("t", nullptr, 0);
    ::lumo_publisher_publish(reinterpret_cast<lumo_publisher *>(8), n);  // not even looked at
    lumo_notification_destroy(n);
}

}  // namespace
}  // namespace vavevar::test
