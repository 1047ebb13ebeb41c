// Delivered notifications: receive, relinquish, callbacks, subscriber lists
// and multirecv, and closing or destroying while other threads are inside.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "pubsub/subscriber.h"
#include "pubsub/subscriber_list.h"
#include "support/pubsub_fixture.h"
#include "support/threading.h"

namespace vavevar::test {
namespace {

class Delivery : public PubSubTest {
protected:
    void SetUp() override {
        PubSubTest::SetUp();
        s = subscribe();
        t = subscribe();
        list = ::lumo_subscriberlist_create();
        ASSERT_TRUE(s && t && list);
    }
    void TearDown() override {
        ::lumo_subscriberlist_destroy(&list);
        for (lumo_subscriber *open : {s, t})
            if (open != nullptr) ::lumo_subscriber_close(open);
        PubSubTest::TearDown();
    }
    std::int32_t held() {
        LockGuard guard(s->lock);
        return s->heldCount;
    }
    void send_and_wait(lumo_subscriber *to, const char *type) {
        std::int32_t before = lumo_queue_count(to->queue);
        send_event(to->id, type);
        ASSERT_TRUE(wait_until([&] { return lumo_queue_count(to->queue) > before; }));
    }
    // Waits until `n` threads sleep in multirecv on `l`.
    static bool waiters_reach(lumo_subscriberlist *l, std::int32_t n) {
        return wait_until([&] {
            LockGuard guard(l->lock);
            return l->waiters == n;
        });
    }
    lumo_subscriber *s = nullptr;  // identifier 1
    lumo_subscriber *t = nullptr;  // identifier 2
    lumo_subscriberlist *list = nullptr;
};

TEST_F(Delivery, ReceivedInOrderAndHeldUntilRelinquished) {
    for (const char *type : {"a", "b", "c"}) send_event(1, type);
    lumo_notification *a = ::lumo_subscriber_receive(s, 1, 5000);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(::lumo_notification_type(a), "a");
    lumo_notification *b = ::lumo_subscriber_receive(s, 1, 5000);  // closing destroys it
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(::lumo_notification_type(b), "b");
    EXPECT_EQ(held(), 2);
    ::lumo_subscriber_relinquish(s, a);
    // One the subscriber never held is destroyed all the same (the leak checker looks).
    ::lumo_subscriber_relinquish(s, ::lumo_notification_create("mine", nullptr, 0));
    EXPECT_EQ(held(), 1);
    EXPECT_EQ(next_type(s), "c");
    // Nothing left: a poll returns at once, a wait at its time-out.
    Stopwatch watch;
    EXPECT_EQ(::lumo_subscriber_receive(s, 0, 0), nullptr);
    EXPECT_LT(watch.ms(), kLateMs);
    Stopwatch timed;
    EXPECT_EQ(::lumo_subscriber_receive(s, 1, 500), nullptr);
    EXPECT_GE(timed.ms(), 490);
    EXPECT_LT(timed.ms(), 500 + kLateMs);
}

struct Calls {
    lumo_subscriber *s = nullptr;
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::vector<std::string> types;
    std::atomic<int> count{0};
    std::atomic<int> cancelled{1};
    // The first is given back early; the last publishes through the
    // subscriber's own publisher and cancels the callback from inside.
    static void record(lumo_notification *n, void *raw) {
        auto *calls = static_cast<Calls *>(raw);
        const std::string type = ::lumo_notification_type(n);
        {
            std::lock_guard<std::mutex> guard(calls->mutex);
            calls->threads.insert(std::this_thread::get_id());
            calls->types.push_back(type);
        }
        if (type == "e0") ::lumo_subscriber_relinquish(calls->s, n);
        if (type == "last") {
            wait_until([&] { return calls->count.load() == 4; });  // the others ran (mode 1)
            ::lumo_publisher_publish(::lumo_subscriber_getPublisher(calls->s),
                                     ::lumo_notification_create("echo", nullptr, 0));
            calls->cancelled = ::lumo_subscriber_cancelcallback(calls->s);
        }
        calls->count += 1;
    }
};

TEST_F(Delivery, ACallbackTakesEveryEventUntilItCancelsItselfInEitherMode) {
    for (std::int32_t mode : {0, 1}) {
        SCOPED_TRACE(mode);
        Calls calls;
        calls.s = s;
        ASSERT_EQ(::lumo_subscriber_registercallback(s, Calls::record, &calls, mode), 0);
        EXPECT_EQ(::lumo_subscriber_registercallback(s, Calls::record, &calls, mode), -1);  // one at a time
        for (const char *type : {"e0", "e1", "e2", "e3", "last"}) send_event(1, type);
        ASSERT_TRUE(wait_until([&] { return calls.count.load() >= 5; }));
        EXPECT_EQ(calls.cancelled.load(), 0);
        EXPECT_EQ(::lumo_subscriber_cancelcallback(s), -1);
        if (mode == 0) {
            std::lock_guard<std::mutex> guard(calls.mutex);
            EXPECT_EQ(calls.types, (std::vector<std::string>{"e0", "e1", "e2", "e3", "last"}));
            EXPECT_EQ(calls.threads.size(), 1u);
        }
        EXPECT_TRUE(wait_until([&] { return held() == 0; }));  // destroyed after each call
        ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, mode + 1));
        EXPECT_EQ(daemon.requests(Request::Kind::event)[mode].header("SubscriberID"), "1");
        // Nothing went to the queue, and the next event waits there for a receive.
        send_event(1, "after");
        EXPECT_EQ(next_type(s), "after");
        EXPECT_EQ(calls.count.load(), 5);
    }
}

TEST_F(Delivery, CloseDuringARunningCallbackFreesOnlyAfterItReturns) {
    struct Context {
        std::atomic<bool> entered{false}, release{false}, finished{false};
        lumo_subscriber *s;
    } context;
    context.s = s;
    auto callback = [](lumo_notification *n, void *raw) {
        auto *c = static_cast<Context *>(raw);
        c->entered = true;
        while (!c->release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Still safe to use: the callback thread holds its reference.
        EXPECT_STREQ(::lumo_notification_type(n), "slow");
        ::lumo_subscriber_relinquish(c->s, n);
        c->finished = true;
    };
    ASSERT_EQ(::lumo_subscriber_registercallback(s, callback, &context, 1), 0);
    send_event(1, "slow");
    ASSERT_TRUE(wait_until([&] { return context.entered.load(); }));
    ::lumo_subscriber_close(s);
    s = nullptr;
    context.release = true;
    ASSERT_TRUE(wait_until([&] { return context.finished.load(); }));
    ::lumo_shutdown();  // releases t too; the sanitizers watch the last reference go
    t = nullptr;
}

TEST_F(Delivery, ReceiversAndACallbackLoseNothingUntilClosed) {
    std::atomic<int> callbacks{0}, received{0};
    auto count = [](lumo_notification *, void *raw) { *static_cast<std::atomic<int> *>(raw) += 1; };
    ASSERT_EQ(::lumo_subscriber_registercallback(t, count, &callbacks, 0), 0);
    std::vector<std::thread> receivers;
    for (int i = 0; i < 3; ++i)
        receivers.emplace_back([&] {
            while (lumo_notification *n = ::lumo_subscriber_receive(s, 1, 0)) {
                ::lumo_subscriber_relinquish(s, n);
                received += 1;
            }
        });
    for (int i = 0; i < 200; ++i) {
        send_event(1, "to-s");
        send_event(2, "to-t");
    }
    wait_until([&] { return received.load() >= 200 && callbacks.load() >= 200; });
    EXPECT_EQ(received.load(), 200);
    EXPECT_EQ(callbacks.load(), 200);
    for (int i = 0; i < 50; ++i) send_event(2, "late");
    for (lumo_subscriber **open : {&t, &s}) {  // t while its callback thread may be busy
        ::lumo_subscriber_close(*open);
        *open = nullptr;
    }
    for (std::thread &r : receivers) r.join();
}

TEST_F(Delivery, MultirecvReturnsTheReadyMemberThenTheFirstWithSomethingWaitingElseNull) {
    Stopwatch watch;  // empty: null at once, even when asked to wait
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 1, 0), nullptr);
    EXPECT_LT(watch.ms(), kLateMs);
    send_and_wait(t, "early");  // queued before it joined: reported all the same
    ::lumo_subscriberlist_add(list, s);
    ::lumo_subscriberlist_add(list, t);
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 1, 0), t);
    EXPECT_EQ(next_type(t), "early");
    send_and_wait(t, "to-t");
    send_and_wait(s, "to-s");
    // t, delivered to first, is the ready one although s was added first; after
    // that the first in adding order with something waiting, until received from.
    for (lumo_subscriber *expected : {t, s, s}) EXPECT_EQ(::lumo_subscriber_multirecv(list, 0, 0), expected);
    EXPECT_EQ(next_type(s), "to-s");
    EXPECT_EQ(next_type(t), "to-t");
    Stopwatch timed;
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 1, 300), nullptr);
    EXPECT_GE(timed.ms(), 300);
    EXPECT_LT(timed.ms(), 300 + kLateMs);
}

TEST_F(Delivery, AMultirecvWaiterWakesWithTheDeliveringMemberOrNullOnceNoneIsLeft) {
    lumo_subscriberlist *other = ::lumo_subscriberlist_create();
    for (lumo_subscriberlist *l : {list, list, other}) ::lumo_subscriberlist_add(l, s);  // one list at most
    ::lumo_subscriberlist_add(list, t);
    EXPECT_EQ(::lumo_subscriber_multirecv(other, 1, 0), nullptr);  // never took s: empty
    ::lumo_subscriberlist_destroy(&other);
    std::atomic<lumo_subscriber *> woke{nullptr};
    auto wait_in_thread = [&] {
        return std::thread([&] { woke = ::lumo_subscriber_multirecv(list, 1, 0); });
    };
    std::thread waiter = wait_in_thread();
    ASSERT_TRUE(waiters_reach(list, 1));
    send_event(2, "wake");
    waiter.join();
    EXPECT_EQ(woke.load(), t);
    EXPECT_EQ(next_type(t), "wake");
    waiter = wait_in_thread();
    ASSERT_TRUE(waiters_reach(list, 1));
    ::lumo_subscriber_close(s);
    s = nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(woke.load(), t);  // still waiting: t is a member
    ::lumo_subscriber_close(t);
    t = nullptr;
    waiter.join();
    EXPECT_EQ(woke.load(), nullptr);
    LockGuard guard(list->lock);
    EXPECT_EQ(list->count, 0);
}

// Two threads wait in multirecv on the list of s and t: one delivery wakes
// one of them with the member, the other with null. Destroying the list wakes
// both with null; the list then goes with its last member.
TEST_F(Delivery, MultirecvWaitersShareADeliveryAndAllWakeWhenTheListIsDestroyed) {
    for (lumo_subscriber *member : {s, t}) ::lumo_subscriberlist_add(list, member);
    lumo_subscriberlist *raw = list;  // still there once `list` is destroyed
    std::atomic<int> got_member{0}, got_null{0};
    auto two_waiters = [&] {
        std::vector<std::thread> waiters;
        for (int i = 0; i < 2; ++i)
            waiters.emplace_back([&] { (::lumo_subscriber_multirecv(raw, 1, 0) ? got_member : got_null) += 1; });
        EXPECT_TRUE(waiters_reach(raw, 2));
        return waiters;
    };
    auto waiters = two_waiters();
    send_event(1, "one");
    for (std::thread &w : waiters) w.join();
    EXPECT_EQ(got_member.load(), 1);
    EXPECT_EQ(got_null.load(), 1);
    EXPECT_EQ(next_type(s), "one");

    waiters = two_waiters();
    ::lumo_subscriberlist_destroy(&list);
    for (std::thread &w : waiters) w.join();
    EXPECT_EQ(got_member.load(), 1);
    EXPECT_EQ(got_null.load(), 3);
    // Members leave at their next delivery, just after the hand-over (which
    // the receive may overtake); the last, closed here, frees the list.
    send_event(1, "after");
    EXPECT_EQ(next_type(s), "after");
    EXPECT_TRUE(wait_until([&] { return s->list.load() == nullptr; }));
    EXPECT_EQ(t->list.load(), raw);
    ::lumo_subscriber_close(t);  // the sanitizers watch
    t = nullptr;
}

}  // namespace
}  // namespace vavevar::test
