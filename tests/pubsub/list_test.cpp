// Subscriber lists: which member multirecv returns, how waiters wake, and
// destruction while members and waiters are still there.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pubsub/subscriber.h"
#include "pubsub/subscriber_list.h"
#include "support/pubsub_fixture.h"
#include "support/threading.h"

namespace vavevar::test {
namespace {

class Lists : public PubSubTest {
protected:
    void SetUp() override {
        PubSubTest::SetUp();
        a = subscribe();
        b = subscribe();
        ASSERT_TRUE(a && b);
        list = ::lumo_subscriberlist_create();
        ASSERT_NE(list, nullptr);
    }
    void TearDown() override {
        ::lumo_subscriberlist_destroy(&list);
        if (a != nullptr) ::lumo_subscriber_close(a);
        if (b != nullptr) ::lumo_subscriber_close(b);
        PubSubTest::TearDown();
    }
    static bool queued(lumo_subscriber *s, std::int32_t n) {
        return wait_until([&] { return lumo_queue_count(s->queue) >= n; }, std::chrono::seconds(5));
    }
    // Waits until `n` threads sleep in multirecv on `l`.
    static bool waiters_reach(lumo_subscriberlist *l, std::int32_t n) {
        return wait_until([&] {
            LockGuard guard(l->lock);
            return l->waiters == n;
        });
    }
    std::int32_t members() {
        LockGuard guard(list->lock);
        return list->count;
    }
    lumo_subscriber *a = nullptr;  // identifier 1
    lumo_subscriber *b = nullptr;  // identifier 2
    lumo_subscriberlist *list = nullptr;
};

TEST_F(Lists, AnEmptyListAnswersNullAtOnceEvenWhenAskedToWait) {
    Stopwatch watch;
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 1, 0), nullptr);
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 0, 0), nullptr);
    EXPECT_EQ(::lumo_subscriber_multirecv(nullptr, 1, 0), nullptr);
    EXPECT_LT(watch.ms(), 500);
}

TEST_F(Lists, TheMemberDeliveredToFirstThenTheFirstWithSomethingWaiting) {
    ::lumo_subscriberlist_add(list, a);
    ::lumo_subscriberlist_add(list, b);
    send_event(2, "to-b");
    ASSERT_TRUE(queued(b, 1));
    send_event(1, "to-a");
    ASSERT_TRUE(queued(a, 1));
    // b was delivered to first and is the ready one, although a comes first.
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 0, 0), b);
    EXPECT_EQ(next_type(b), "to-b");
    // Nothing ready any more: the first member in adding order with a
    // notification waiting, again and again while it is not received from.
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 0, 0), a);
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 0, 0), a);
    EXPECT_EQ(next_type(a), "to-a");
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 0, 0), nullptr);
}

TEST_F(Lists, AMemberAddedWithNotificationsQueuedIsReportedNext) {
    send_event(2, "early");
    ASSERT_TRUE(queued(b, 1));
    ::lumo_subscriberlist_add(list, a);
    ::lumo_subscriberlist_add(list, b);
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 1, 0), b);
}

TEST_F(Lists, ATimedWaitWithNothingDeliveredReturnsNullAfterItsTime) {
    ::lumo_subscriberlist_add(list, a);
    Stopwatch watch;
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 1, 300), nullptr);
    EXPECT_GE(watch.ms(), 300);
    EXPECT_LT(watch.ms(), 300 + kLateMs);
}

TEST_F(Lists, AWaiterWakesWithTheDeliveringMemberAndWithNullWhenTheLastOneCloses) {
    ::lumo_subscriberlist_add(list, a);
    ::lumo_subscriberlist_add(list, b);
    std::atomic<lumo_subscriber *> woke{nullptr};
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        woke = ::lumo_subscriber_multirecv(list, 1, 0);
        returned = true;
    });
    ASSERT_TRUE(waiters_reach(list, 1));
    send_event(2, "wake");
    waiter.join();
    EXPECT_EQ(woke.load(), b);
    EXPECT_EQ(next_type(b), "wake");

    returned = false;
    std::thread second([&] {
        woke = ::lumo_subscriber_multirecv(list, 1, 0);
        returned = true;
    });
    ASSERT_TRUE(waiters_reach(list, 1));
    ::lumo_subscriber_close(a);
    a = nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());  // b is still a member
    ::lumo_subscriber_close(b);
    b = nullptr;
    second.join();
    EXPECT_EQ(woke.load(), nullptr);
    EXPECT_EQ(members(), 0);
}

TEST_F(Lists, ASubscriberBelongsToOneListAtMost) {
    lumo_subscriberlist *other = ::lumo_subscriberlist_create();
    ::lumo_subscriberlist_add(list, a);
    ::lumo_subscriberlist_add(list, a);
    ::lumo_subscriberlist_add(other, a);
    ::lumo_subscriberlist_add(nullptr, a);
    ::lumo_subscriberlist_add(list, nullptr);
    EXPECT_EQ(members(), 1);
    EXPECT_EQ(a->list.load(), list);
    // `other` never took it: still empty, so it answers at once.
    EXPECT_EQ(::lumo_subscriber_multirecv(other, 1, 0), nullptr);
    send_event(1, "once");
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 1, 5000), a);
    ::lumo_subscriberlist_destroy(&other);
    EXPECT_EQ(other, nullptr);
    ::lumo_subscriberlist_destroy(&other);  // a null handle is ignored
    ::lumo_subscriberlist_destroy(nullptr);
}

TEST_F(Lists, ADestroyedListGoesWithItsLastMemberByDeliveryOrClose) {
    ::lumo_subscriberlist_add(list, a);
    ::lumo_subscriberlist_add(list, b);
    lumo_subscriberlist *handle = list;
    list = nullptr;
    ::lumo_subscriberlist_destroy(&handle);
    EXPECT_EQ(handle, nullptr);
    // A member leaves at its next delivery, and the delivery still reaches it.
    send_event(1, "after");
    EXPECT_EQ(next_type(a), "after");
    // It leaves right after the hand-over, which the receive may overtake.
    EXPECT_TRUE(wait_until([&] { return a->list.load() == nullptr; }, std::chrono::seconds(5)));
    EXPECT_NE(b->list.load(), nullptr);
    // The last member's close frees the list (the sanitizers watch).
    ::lumo_subscriber_close(b);
    b = nullptr;
}

TEST_F(Lists, DestroyingTheListWakesEveryWaiterWithNull) {
    ::lumo_subscriberlist_add(list, a);
    std::atomic<int> returned{0};
    std::atomic<int> got_member{0};
    auto wait_on = [&](lumo_subscriberlist *l) {
        if (::lumo_subscriber_multirecv(l, 1, 0) != nullptr) got_member += 1;
        returned += 1;
    };
    std::thread first(wait_on, list), second(wait_on, list);
    lumo_subscriberlist *raw = list;
    ASSERT_TRUE(waiters_reach(raw, 2));
    ::lumo_subscriberlist_destroy(&list);
    first.join();
    second.join();
    EXPECT_EQ(returned.load(), 2);
    EXPECT_EQ(got_member.load(), 0);
    // The list is still there for its member, which frees it on closing.
    EXPECT_EQ(a->list.load(), raw);
    ::lumo_subscriber_close(a);
    a = nullptr;
}

TEST_F(Lists, OneDeliveryGoesToOneOfSeveralWaiters) {
    ::lumo_subscriberlist_add(list, a);
    std::atomic<int> members{0}, nulls{0};
    auto wait_on = [&] {
        (::lumo_subscriber_multirecv(list, 1, 0) != nullptr ? members : nulls) += 1;
    };
    std::thread first(wait_on), second(wait_on);
    ASSERT_TRUE(waiters_reach(list, 2));
    send_event(1, "one");
    first.join();
    second.join();
    EXPECT_EQ(members.load(), 1);
    EXPECT_EQ(nulls.load(), 1);
}

}  // namespace
}  // namespace vavevar::test
