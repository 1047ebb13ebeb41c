// Bad input at the C boundary, the only place it is checked: every exported
// function gives the result its header comment names for null handles, null
// texts and lengths or indices out of range, and changes nothing.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/pubsub_fixture.h"
#include "vavevar.h"

namespace vavevar::test {
namespace {

// Stands for a text or array slot the call must leave alone.
template <typename T>
T *untouched() {
    return reinterpret_cast<T *>(std::uintptr_t{0x5a5a});
}

TEST(BadInput, PropertyListsRefuseNullsAndIndicesOutOfRange) {
    EXPECT_EQ(::lumo_proplist_put(nullptr, "n", "v"), nullptr);
    EXPECT_EQ(::lumo_proplist_get(nullptr, "n"), nullptr);
    EXPECT_EQ(::lumo_proplist_getIndex(nullptr, 0), nullptr);
    EXPECT_EQ(::lumo_proplist_count(nullptr), 0);
    ::lumo_proplist_destroy(nullptr);
    lumo_proplist *none = nullptr;
    ::lumo_proplist_destroy(&none);

    lumo_proplist *list = ::lumo_proplist_create();
    ASSERT_NE(list, nullptr);
    ASSERT_NE(::lumo_proplist_put(list, "n", "v"), nullptr);
    EXPECT_EQ(::lumo_proplist_put(list, nullptr, "w"), nullptr);
    EXPECT_EQ(::lumo_proplist_put(list, "n", nullptr), nullptr);
    EXPECT_EQ(::lumo_proplist_put(list, "m", nullptr), nullptr);
    EXPECT_EQ(::lumo_proplist_get(list, nullptr), nullptr);
    for (int32_t index : {-1, 1, INT32_MIN, INT32_MAX}) EXPECT_EQ(::lumo_proplist_getIndex(list, index), nullptr);
    ASSERT_EQ(::lumo_proplist_count(list), 1);
    EXPECT_STREQ(::lumo_proplist_get(list, "n"), "v");
    ::lumo_proplist_destroy(&list);
    EXPECT_EQ(list, nullptr);
}

TEST(BadInput, NotificationsRefuseNullsAndChangeNothing) {
    EXPECT_EQ(::lumo_notification_create(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(::lumo_notification_create("t", nullptr, 1), nullptr);
    EXPECT_EQ(::lumo_notification_setProperty(nullptr, "n", "v"), -2);

    lumo_notification *n = ::lumo_notification_create("t", nullptr, 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(::lumo_notification_setProperty(n, nullptr, "v"), -2);
    EXPECT_EQ(::lumo_notification_setProperty(n, "n", nullptr), -2);
    int32_t count = 42;
    EXPECT_EQ(::lumo_notification_getAllProperties(n, &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(::lumo_notification_getProperty(n, nullptr), nullptr);
    ASSERT_EQ(::lumo_notification_setProperty(n, "n", "v"), 0);
    EXPECT_EQ(::lumo_notification_getProperty(n, nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_getAllProperties(nullptr, nullptr), nullptr);  // no count slot
    count = 42;
    EXPECT_EQ(::lumo_notification_getAllProperties(nullptr, &count), nullptr);
    EXPECT_EQ(count, 0);
    // Applications pass what a failed call gave them to every accessor.
    using Text = const char *(*)(const lumo_notification *);
    for (Text text : {::lumo_notification_id, ::lumo_notification_stamp, ::lumo_notification_type,
                      ::lumo_notification_generatingComponent, ::lumo_notification_generatingNode,
                      ::lumo_notification_generatingProcess, ::lumo_notification_instanceName,
                      ::lumo_notification_affectedComponents, ::lumo_notification_affectedNodes})
        EXPECT_EQ(text(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_getClass(nullptr), 8);
    EXPECT_EQ(::lumo_notification_creationTime(nullptr), 0u);
    EXPECT_EQ(::lumo_notification_deliveryTime(nullptr), 0);
    EXPECT_EQ(::lumo_notification_localOnly(nullptr), 0);
    EXPECT_EQ(::lumo_notification_getProperty(nullptr, "a"), nullptr);
    EXPECT_EQ(::lumo_notification_body(nullptr, &count), nullptr);
    ::lumo_notification_setLocalOnly(nullptr);

    // A null notification renders as a text of its own.
    char *text = ::lumo_notification_toString(nullptr, 1);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "NOTIFICATION 0x0 (NULL)\n");
    std::free(text);

    // Streams: a null head, and a head of any other class, has none.
    EXPECT_EQ(::lumo_notification_createstream(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_getInputStream(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_getOutputStream(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_getInputStream(n), nullptr);
    EXPECT_EQ(::lumo_notification_getOutputStream(n), nullptr);
    // Given back through no subscriber, it is destroyed all the same (the
    // leak checker sees otherwise); a null notification is ignored.
    ::lumo_subscriber_relinquish(nullptr, n);
    ::lumo_subscriber_relinquish(nullptr, nullptr);
}

TEST(BadInput, BodyBlocksRefuseNullsAndBadLengths) {
    ::lumo_bb_destroy(nullptr);
    EXPECT_EQ(::lumo_bb_getsegments(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_getsegment(nullptr, "s"), nullptr);
    EXPECT_EQ(::lumo_bb_addsegment(nullptr, "s"), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getname(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getsegments(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getsegment(nullptr, "s"), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addsegment(nullptr, "s"), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getelements(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addelement(nullptr, "k", "v"), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addelement_b(nullptr, "k", "v", 1), nullptr);
    EXPECT_EQ(::lumo_bb_elem_getname(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seglist_getfirst(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seglist_getnext(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_elemlist_getfirst(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_elemlist_getnext(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_toString(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_body2block(nullptr, 100), nullptr);

    // Length slots: a null segment leaves its slot alone, a null element
    // writes 0.
    uint32_t length = 7;
    EXPECT_EQ(::lumo_bb_seg_getelement(nullptr, "k", &length), nullptr);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(::lumo_bb_elem_getvalue(nullptr, &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(::lumo_bb_elem_getvalue(nullptr, nullptr), nullptr);

    lumo_bb *block = ::lumo_bb_create();
    ASSERT_NE(block, nullptr);
    lumo_bb_seg *seg = ::lumo_bb_addsegment(block, "s");
    ASSERT_NE(seg, nullptr);
    ASSERT_NE(::lumo_bb_seg_addelement(seg, "k", "v"), nullptr);
    EXPECT_EQ(::lumo_bb_getsegment(block, nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_addsegment(block, nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getsegment(seg, nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addsegment(seg, nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addelement(seg, nullptr, "v"), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addelement(seg, "k", nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addelement_b(seg, nullptr, "v", 1), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addelement_b(seg, "k", nullptr, 1), nullptr);
    for (int32_t bad : {-2, INT32_MIN}) EXPECT_EQ(::lumo_bb_seg_addelement_b(seg, "k", "w", bad), nullptr);
    length = 7;
    EXPECT_EQ(::lumo_bb_seg_getelement(seg, nullptr, &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(::lumo_bb_seg_getelement(seg, nullptr, nullptr), nullptr);

    // Nothing above changed the block; encoding wants a length slot.
    char *text = ::lumo_bb_toString(block);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "Seg:s\n  k=v\n");
    std::free(text);
    EXPECT_EQ(::lumo_bb_block2body(block, nullptr), nullptr);
    // A null block is no bad input: it encodes as an empty one.
    void *empty = ::lumo_bb_block2body(nullptr, &length);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(length, 12u);
    std::free(empty);
    ::lumo_bb_destroy(block);
}

TEST(BadInput, StreamEndsRefuseNulls) {
    char buffer[4];
    EXPECT_EQ(::lumo_instream_read(nullptr, buffer, 4), 0);
    ::lumo_instream_close(nullptr);
    lumo_instream *no_in = nullptr;
    ::lumo_instream_close(&no_in);
    EXPECT_EQ(::lumo_outstream_write(nullptr, "abc", 3), 0);
    EXPECT_EQ(::lumo_outstream_flush(nullptr), 0);
    ::lumo_outstream_close(nullptr);
    lumo_outstream *no_out = nullptr;
    ::lumo_outstream_close(&no_out);

}

TEST(BadInput, SubscriberHandlesRefuseNulls) {
    char *status = untouched<char>();
    EXPECT_EQ(::lumo_subscriber_status(nullptr, &status), 2);
    EXPECT_EQ(status, nullptr);
    EXPECT_EQ(::lumo_subscriber_status(nullptr, nullptr), 2);
    ::lumo_subscriber_close(nullptr);
    EXPECT_EQ(::lumo_subscriber_id(nullptr), -1);
    EXPECT_EQ(::lumo_subscriber_subscription(nullptr), nullptr);
    EXPECT_EQ(::lumo_subscriber_component(nullptr), nullptr);
    EXPECT_EQ(::lumo_subscriber_getPublisher(nullptr), nullptr);
    EXPECT_EQ(::lumo_subscriber_getName(nullptr), nullptr);
    ::lumo_subscriber_setName(nullptr, "x");
    EXPECT_EQ(::lumo_subscriber_receive(nullptr, 0, 0), nullptr);
    EXPECT_EQ(::lumo_subscriber_receive(nullptr, 1, 0), nullptr);  // never waits
    EXPECT_EQ(::lumo_subscriber_registercallback(nullptr, [](lumo_notification *, void *) {}, nullptr, 0), -1);
    EXPECT_EQ(::lumo_subscriber_cancelcallback(nullptr), -1);
    ::lumo_publisher_publish(nullptr, nullptr);
    ::lumo_publisher_close(nullptr);

    ::lumo_subscriberlist_add(nullptr, nullptr);
    ::lumo_subscriberlist_destroy(nullptr);
    lumo_subscriberlist *none = nullptr;
    ::lumo_subscriberlist_destroy(&none);
    EXPECT_EQ(::lumo_subscriber_multirecv(nullptr, 1, 0), nullptr);  // never waits
    lumo_subscriberlist *list = ::lumo_subscriberlist_create();
    ASSERT_NE(list, nullptr);
    ::lumo_subscriberlist_add(list, nullptr);
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 0, 0), nullptr);
    ::lumo_subscriberlist_destroy(&list);
    EXPECT_EQ(list, nullptr);
}

TEST(BadInput, ConditionsAndThreadsRefuseNulls) {
    EXPECT_EQ(::lumox_win32_cond_init(nullptr), -1);
    ::lumox_win32_cond_destroy(nullptr);
    ::lumox_win32_cond_signal(nullptr);
    ::lumox_win32_cond_broadcast(nullptr);
    EXPECT_EQ(::lumox_win32_thread_createattached(nullptr, nullptr), nullptr);
    EXPECT_EQ(::lumox_win32_thread_createdetached(nullptr, nullptr), UINTPTR_MAX);
    void *result = untouched<void>();
    ::lumox_win32_thread_join(nullptr, &result);
    EXPECT_EQ(result, nullptr);
    ::lumox_win32_thread_join(nullptr, nullptr);

    // A usable variable with no mutex returns at once and does not wait: a
    // signal would never come.
    lumox_win32_cond_t cond;
    ASSERT_EQ(::lumox_win32_cond_init(&cond), 0);
    ::lumox_win32_cond_wait(&cond, nullptr);
    EXPECT_EQ(::lumox_win32_cond_timedwait(&cond, nullptr, 60000), 1);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    ::lumox_win32_cond_wait(nullptr, &mutex);
    EXPECT_EQ(::lumox_win32_cond_timedwait(nullptr, &mutex, 60000), 1);
    EXPECT_EQ(pthread_mutex_trylock(&mutex), 0);  // never taken by the calls
    pthread_mutex_unlock(&mutex);
    ::lumox_win32_cond_destroy(&cond);
    EXPECT_EQ(cond.lock, nullptr);
    ::lumox_win32_cond_destroy(&cond);  // a second destroy finds nothing to release
}

// With the library running, live handles meet null arguments.
class BadInputLive : public PubSubTest {};

TEST_F(BadInputLive, LiveHandlesRefuseNullPartners) {
    EXPECT_EQ(::lumo_publisher_create(nullptr), nullptr);
    // A creation without a component is refused and reports no status text.
    char *status = untouched<char>();
    EXPECT_EQ(::lumo_subscriber_create(nullptr, nullptr, nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(status, nullptr);
    status = untouched<char>();
    EXPECT_EQ(::lumo_subscriber_create_wdeltas(nullptr, nullptr, nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(status, nullptr);
    status = untouched<char>();
    EXPECT_EQ(::lumo_subscriber_create_wtimeout(nullptr, nullptr, nullptr, nullptr, &status, 10), nullptr);
    EXPECT_EQ(status, nullptr);
    EXPECT_EQ(::lumo_subscriber_create_async(nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(daemon.requests(Request::Kind::subscribe).empty());

    lumo_publisher *publisher = ::lumo_publisher_create("comp");
    ASSERT_NE(publisher, nullptr);
    ::lumo_publisher_publish(publisher, nullptr);
    lumo_notification *kept = ::lumo_notification_create("kept", nullptr, 0);
    ::lumo_publisher_publish(nullptr, kept);
    EXPECT_EQ(::lumo_notification_id(kept), nullptr);  // not stamped: still the caller's
    ::lumo_subscriber_relinquish(nullptr, kept);

    lumo_subscriber *s = subscribe();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(::lumo_subscriber_registercallback(s, nullptr, nullptr, 0), -1);
    lumo_subscriber_counters counters{};
    EXPECT_EQ(::lumo_subscriber_get_counters(nullptr, &counters), -1);
    EXPECT_EQ(::lumo_subscriber_get_counters(s, nullptr), -1);
    EXPECT_EQ(::lumo_subscriber_set_limits(nullptr, 1, 1), -1);
    EXPECT_EQ(::lumo_subscriber_cancelcallback(s), -1);  // nothing was registered
    ::lumo_subscriber_relinquish(s, nullptr);
    lumo_subscriberlist *list = ::lumo_subscriberlist_create();
    ASSERT_NE(list, nullptr);
    ::lumo_subscriberlist_add(nullptr, s);
    ::lumo_subscriberlist_add(list, s);  // still free to join: the null add took nothing
    send_event(::lumo_subscriber_id(s), "after");
    EXPECT_EQ(::lumo_subscriber_multirecv(list, 1, 5000), s);
    EXPECT_EQ(next_type(s), "after");
    ::lumo_subscriber_close(s);
    ::lumo_subscriberlist_destroy(&list);

    // A published stream refuses what is no block: nothing goes out for it,
    // so the daemon sees the one real block and then the end.
    lumo_notification *head = ::lumo_notification_createstream("bulk");
    ASSERT_NE(head, nullptr);
    lumo_outstream *out = ::lumo_notification_getOutputStream(head);
    ASSERT_NE(out, nullptr);
    ::lumo_publisher_publish(publisher, head);
    const std::size_t before = daemon.requests(Request::Kind::event).size();
    EXPECT_EQ(::lumo_outstream_write(out, nullptr, 3), 0);
    for (int32_t bad : {0, -1, INT32_MIN}) EXPECT_EQ(::lumo_outstream_write(out, "abc", bad), 0);
    EXPECT_EQ(::lumo_outstream_write(out, "abc", 3), 3);
    ::lumo_outstream_close(&out);
    EXPECT_EQ(out, nullptr);
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, before + 2));
    auto events = daemon.requests(Request::Kind::event);
    ASSERT_GE(events.size(), before + 2);
    EXPECT_EQ(events[before].body, "abc");
    EXPECT_EQ(events[before + 1].body, "");
    ::lumo_publisher_close(publisher);
}

}  // namespace
}  // namespace vavevar::test
