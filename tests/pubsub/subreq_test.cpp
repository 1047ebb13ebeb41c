// Subscribe and unsubscribe requests, byte for byte as the daemon gets them.
#include "pubsub/subreq.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/conn.h"
#include "support/alloc_fault.h"
#include "support/socket_pair.h"
#include "vavevar.h"

namespace vavevar {
namespace {

// Writes `request` to a fresh connection and frees it; what the peer got.
std::string written(lumo_subreq *request, bool peer_open = true) {
    test::SocketPair pair;
    if (!peer_open) pair.close_peer();
    lumo_conn *conn = lumo_conn_create(pair.library());
    EXPECT_EQ(lumo_subreq_write(request, conn), peer_open ? 1 : 0);
    lumo_conn_free(conn);
    lumo_subreq_free(request);
    return peer_open ? pair.peer_receive_all() : "";
}

TEST(Subreq, RequestsAreByteExact) {
    lumo_proplist *empty = ::lumo_proplist_create();
    lumo_proplist *props = ::lumo_proplist_create();
    ::lumo_proplist_put(props, "zone", "north");
    ::lumo_proplist_put(props, "empty", "");
    ::lumo_proplist_put(props, "zone", "south");  // replaced in place
    struct Case {
        lumo_subreq *request;
        std::string bytes;
    } cases[] = {
        // Absent texts are the word null; an empty property list counts zero.
        {lumo_subreq_subscribe(3, nullptr, "c", nullptr, 0, empty),
         "POST /subscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 3\r\n"
         "Subscription: null\r\nComponent: c\r\nMbrInterest: null\r\nMbrDeltas: false\r\n"
         "numberOfProperties: 0\r\n\r\n"},
        // Empty texts are written as nothing; properties in list order.
        {lumo_subreq_subscribe(12, "", "", "group-a", 1, props),
         "POST /subscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 12\r\n"
         "Subscription: \r\nComponent: \r\nMbrInterest: group-a\r\nMbrDeltas: true\r\n"
         "numberOfProperties: 2\r\nzone: south\r\nempty: \r\n\r\n"},
        // No property list at all: still a count of zero.
        {lumo_subreq_subscribe(1, "type == 'a'", nullptr, nullptr, 0, nullptr),
         "POST /subscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 1\r\n"
         "Subscription: type == 'a'\r\nComponent: \r\nMbrInterest: null\r\nMbrDeltas: false\r\n"
         "numberOfProperties: 0\r\n\r\n"},
        {lumo_subreq_unsubscribe(7),
         "POST /unsubscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 7\r\n\r\n"},
    };
    // The requests keep their own copies.
    ::lumo_proplist_destroy(&empty);
    ::lumo_proplist_destroy(&props);
    for (Case &c : cases) EXPECT_EQ(written(c.request), c.bytes);
}

TEST(Subreq, ALostConnectionFailsTheWrite) { written(lumo_subreq_unsubscribe(7), false); }

TEST(Subreq, BuildingFailsCleanlyAtEveryAllocation) {
    lumo_proplist *props = ::lumo_proplist_create();
    ::lumo_proplist_put(props, "k", "v");
    int tried = test::for_each_allocation_failure([&] {
        lumo_subreq *r = lumo_subreq_subscribe(1, "s", "c", "m", 0, props);
        lumo_subreq_free(r);
        return r != nullptr;
    });
    ::lumo_proplist_destroy(&props);
    EXPECT_EQ(tried, 4 + 4);  // record, three texts, then list, array, name, value
}

}  // namespace
}  // namespace vavevar
