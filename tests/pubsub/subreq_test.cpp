// What the running library cannot reach: a lost connection and failed
// allocations. The bytes on the wire are checked by the subscriber tests.
#include "pubsub/subreq.h"

#include <gtest/gtest.h>

#include "runtime/conn.h"
#include "support/alloc_fault.h"
#include "support/socket_pair.h"
#include "vavevar.h"

namespace vavevar {
namespace {

TEST(Subreq, BuildingFailsCleanlyAtEveryAllocationAndWritingToALostConnectionFails) {
    lumo_proplist *props = ::lumo_proplist_create();
    ::lumo_proplist_put(props, "k", "v");
    int tried = test::for_each_allocation_failure([&] {
        lumo_subreq *r = lumo_subreq_subscribe(1, "s", "c", "m", 0, props);
        lumo_subreq_free(r);
        return r != nullptr;
    });
    ::lumo_proplist_destroy(&props);
    EXPECT_EQ(tried, 4 + 4);  // record, three texts, then list, array, name, value
    lumo_subreq *request = lumo_subreq_unsubscribe(7);
    test::SocketPair pair;
    pair.close_peer();
    lumo_conn *conn = lumo_conn_create(pair.library());
    EXPECT_EQ(lumo_subreq_write(request, conn), 0);
    lumo_conn_free(conn);
    lumo_subreq_free(request);
}

}  // namespace
}  // namespace vavevar
