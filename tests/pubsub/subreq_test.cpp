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

std::string written(const lumo_subreq *request, int expected = 1) {
    test::SocketPair pair;
    lumo_conn *conn = lumo_conn_create(pair.library());
    EXPECT_EQ(lumo_subreq_write(request, conn), expected);
    lumo_conn_free(conn);
    return pair.peer_receive_all();
}

struct Request {
    lumo_subreq *r;
    explicit Request(lumo_subreq *made) : r(made) {}
    ~Request() { lumo_subreq_free(r); }
};

TEST(Subreq, BareSubscribeIsNineLinesWithNullTexts) {
    lumo_proplist *none = ::lumo_proplist_create();
    Request req(lumo_subreq_subscribe(3, nullptr, "c", nullptr, 0, none));
    ::lumo_proplist_destroy(&none);
    EXPECT_EQ(written(req.r),
              "POST /subscribe HTTP/1.1\r\n"
              "Content-Length: 0\r\n"
              "SubscriberID: 3\r\n"
              "Subscription: null\r\n"
              "Component: c\r\n"
              "MbrInterest: null\r\n"
              "MbrDeltas: false\r\n"
              "numberOfProperties: 0\r\n"
              "\r\n");
}

TEST(Subreq, EmptyTextsAreWrittenAsNothingAndPropertiesInListOrder) {
    lumo_proplist *props = ::lumo_proplist_create();
    ::lumo_proplist_put(props, "zone", "north");
    ::lumo_proplist_put(props, "empty", "");
    ::lumo_proplist_put(props, "zone", "south");  // replaced in place
    Request req(lumo_subreq_subscribe(12, "", "", "group-a", 1, props));
    ::lumo_proplist_destroy(&props);  // the request keeps its own copy
    EXPECT_EQ(written(req.r),
              "POST /subscribe HTTP/1.1\r\n"
              "Content-Length: 0\r\n"
              "SubscriberID: 12\r\n"
              "Subscription: \r\n"
              "Component: \r\n"
              "MbrInterest: group-a\r\n"
              "MbrDeltas: true\r\n"
              "numberOfProperties: 2\r\n"
              "zone: south\r\n"
              "empty: \r\n"
              "\r\n");
}

TEST(Subreq, WithoutAPropertyListTheCountIsZero) {
    Request req(lumo_subreq_subscribe(1, "type == 'a'", nullptr, nullptr, 0, nullptr));
    std::string bytes = written(req.r);
    EXPECT_NE(bytes.find("Subscription: type == 'a'\r\nComponent: \r\n"), std::string::npos);
    EXPECT_NE(bytes.find("numberOfProperties: 0\r\n\r\n"), std::string::npos);
}

TEST(Subreq, UnsubscribeCarriesOnlyTheIdentifier) {
    Request req(lumo_subreq_unsubscribe(7));
    EXPECT_EQ(written(req.r),
              "POST /unsubscribe HTTP/1.1\r\n"
              "Content-Length: 0\r\n"
              "SubscriberID: 7\r\n"
              "\r\n");
}

TEST(Subreq, ALostConnectionFailsTheWrite) {
    Request req(lumo_subreq_unsubscribe(7));
    test::SocketPair pair;
    lumo_conn *conn = lumo_conn_create(pair.library());
    pair.close_peer();
    EXPECT_EQ(lumo_subreq_write(req.r, conn), 0);
    lumo_conn_free(conn);
}

TEST(Subreq, BuildingFailsCleanlyAtEveryAllocation) {
    lumo_proplist *props = ::lumo_proplist_create();
    ::lumo_proplist_put(props, "k", "v");
    int tried = test::for_each_allocation_failure([&] {
        lumo_subreq *r = lumo_subreq_subscribe(1, "s", "c", "m", 0, props);
        bool ok = r != nullptr;
        lumo_subreq_free(r);
        return ok;
    });
    ::lumo_proplist_destroy(&props);
    EXPECT_EQ(tried, 4 + 4);  // record, three texts, then list, array, name, value
}

}  // namespace
}  // namespace vavevar
