// Creating subscribers: the request on the wire, the daemon's answer in its
// synchronous, timed and asynchronous forms, names and closing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "runtime/registry.h"
#include "support/pubsub_fixture.h"

namespace vavevar::test {
namespace {

using std::chrono::steady_clock;

class Subscriber : public PubSubTest {};

TEST_F(Subscriber, CreationSendsTheRequestAndReturnsOnAcceptance) {
    lumo_proplist *props = ::lumo_proplist_create();
    ::lumo_proplist_put(props, "zone", "north");
    char *status = reinterpret_cast<char *>(1);
    lumo_subscriber *s = ::lumo_subscriber_create_wdeltas("type == 'a'", "comp", "grp", props, &status);
    ::lumo_proplist_destroy(&props);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(status, nullptr);
    auto request = daemon.requests(Request::Kind::subscribe).at(0);
    EXPECT_EQ(request.raw,
              "POST /subscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 1\r\n"
              "Subscription: type == 'a'\r\nComponent: comp\r\nMbrInterest: grp\r\n"
              "MbrDeltas: true\r\nnumberOfProperties: 1\r\nzone: north\r\n\r\n");
    EXPECT_STREQ(::lumo_subscriber_subscription(s), "type == 'a'");
    EXPECT_STREQ(::lumo_subscriber_component(s), "comp");
    ::lumo_subscriber_close(s);
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::unsubscribe, 1));
    EXPECT_EQ(daemon.requests(Request::Kind::unsubscribe)[0].raw,
              "POST /unsubscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 1\r\n\r\n");
}

TEST_F(Subscriber, RefusalReturnsNullWithTheDaemonsMessage) {
    daemon.answer_subscribes("failure", "bad filter at 3");
    char *status = nullptr;
    EXPECT_EQ(::lumo_subscriber_create("((", "comp", nullptr, nullptr, &status), nullptr);
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status, "bad filter at 3");
    std::free(status);
    EXPECT_EQ(lumo_registry_has_subscriber(nullptr, 1), 0);
    EXPECT_TRUE(daemon.requests(Request::Kind::unsubscribe).empty());
}

TEST_F(Subscriber, TimedCreationAgainstASilentDaemonTimesOut) {
    daemon.answer_subscribes(std::nullopt);
    char *status = nullptr;
    auto start = steady_clock::now();
    EXPECT_EQ(::lumo_subscriber_create_wtimeout(nullptr, "comp", nullptr, nullptr, &status, 200),
              nullptr);
    double waited = seconds_since(start);
    EXPECT_GE(waited, 0.19);
    EXPECT_LT(waited, 2.0);
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status, "timedout");
    std::free(status);
    // The slot is gone and not reused; a late answer for it is dropped.
    StatusMessage late;
    late.subscriber_id = "1";
    daemon.send(late.bytes());
    daemon.answer_subscribes("success");
    lumo_subscriber *next = subscribe();
    EXPECT_EQ(::lumo_subscriber_id(next), 2);
    ::lumo_subscriber_close(next);
    EXPECT_TRUE(daemon.requests(Request::Kind::unsubscribe).size() <= 1u);
}

TEST_F(Subscriber, CreationWaitsForTheLinkAndTheAnswer) {
    daemon.queue_handshake_reply(std::nullopt);  // the reconnection hangs
    ASSERT_TRUE(daemon.drop());
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 2));
    std::atomic<lumo_subscriber *> s{nullptr};
    std::atomic<bool> done{false};
    std::thread creator([&] {
        s = subscribe();
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done.load());
    ASSERT_TRUE(daemon.drop());  // handshake fails, the retry succeeds
    creator.join();
    ASSERT_NE(s.load(), nullptr);
    ::lumo_subscriber_close(s.load());
}

TEST_F(Subscriber, AsynchronousAnswersAreCollectedOnce) {
    daemon.answer_subscribes(std::nullopt);
    lumo_subscriber *ok = ::lumo_subscriber_create_async(nullptr, "comp", nullptr, nullptr);
    lumo_subscriber *refused = ::lumo_subscriber_create_async(nullptr, "comp", nullptr, nullptr);
    ASSERT_TRUE(ok && refused);
    char *status = nullptr;
    EXPECT_EQ(::lumo_subscriber_status(ok, &status), 1);
    EXPECT_EQ(::lumo_subscriber_receive(ok, 1, 50), nullptr);  // answer not collected yet
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::subscribe, 2));

    StatusMessage yes;
    yes.subscriber_id = "1";
    StatusMessage no;
    no.subscriber_id = "2";
    no.result = "failure";
    no.message = "not allowed";
    daemon.send(yes.bytes());
    daemon.send(no.bytes());
    auto start = steady_clock::now();
    std::int32_t a = 1, b = 1;
    while ((a == 1 || b == 1) && seconds_since(start) < 5) {
        if (a == 1) a = ::lumo_subscriber_status(ok, nullptr);
        if (b == 1) b = ::lumo_subscriber_status(refused, &status);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 2);
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status, "not allowed");
    std::free(status);
    EXPECT_EQ(::lumo_subscriber_status(ok, nullptr), 0);
    EXPECT_EQ(::lumo_subscriber_status(refused, &status), 0);
    EXPECT_EQ(status, nullptr);
    EXPECT_EQ(::lumo_subscriber_status(nullptr, nullptr), 2);
    ::lumo_subscriber_close(ok);
    ::lumo_subscriber_close(refused);
}

TEST_F(Subscriber, NamesDefaultToTheIdentifier) {
    std::vector<lumo_subscriber *> subs;
    for (int i = 0; i < 12; ++i) subs.push_back(subscribe());
    EXPECT_STREQ(::lumo_subscriber_getName(subs[11]), "12");
    ::lumo_subscriber_setName(subs[11], "x");
    EXPECT_STREQ(::lumo_subscriber_getName(subs[11]), "x");
    ::lumo_subscriber_setName(subs[11], nullptr);
    EXPECT_STREQ(::lumo_subscriber_getName(subs[11]), "12");
    EXPECT_EQ(::lumo_subscriber_getName(nullptr), nullptr);
    for (lumo_subscriber *s : subs) ::lumo_subscriber_close(s);
}

TEST_F(Subscriber, CreationRefusesAMissingComponentAndAStoppedLibrary) {
    EXPECT_EQ(::lumo_subscriber_create(nullptr, nullptr, nullptr, nullptr, nullptr), nullptr);
    ::lumo_shutdown();
    char *status = reinterpret_cast<char *>(1);
    EXPECT_EQ(::lumo_subscriber_create(nullptr, "comp", nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(::lumo_subscriber_create_async(nullptr, "comp", nullptr, nullptr), nullptr);
}

TEST_F(Subscriber, AShutdownWakesACreatorWaitingForAnAnswer) {
    daemon.answer_subscribes(std::nullopt);
    std::atomic<lumo_subscriber *> s{reinterpret_cast<lumo_subscriber *>(1)};
    std::thread creator([&] { s = subscribe(); });
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::subscribe, 1));
    ::lumo_shutdown();
    creator.join();
    EXPECT_EQ(s.load(), nullptr);
}

}  // namespace
}  // namespace vavevar::test
