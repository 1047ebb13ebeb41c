// What the running library cannot reach: failed allocations, in building a
// request and in writing it. The bytes on the wire are checked by the
// subscriber tests.
#include "pubsub/subreq.h"

#include <gtest/gtest.h>

#include <string>

#include "support/alloc_fault.h"
#include "vavevar.h"

namespace vavevar {
namespace {

TEST(Subreq, BuildingAndWritingFailCleanlyAtEveryAllocation) {
    lumo_proplist *props = ::lumo_proplist_create();
    ::lumo_proplist_put(props, "k", "v");
    int tried = test::for_each_allocation_failure([&] {
        lumo_subreq *r = lumo_subreq_subscribe(1, "s", "c", "m", 0, props);
        lumo_subreq_free(r);
        return r != nullptr;
    });
    EXPECT_GT(tried, 0);

    // A message that does not fit is not half written: the buffer keeps
    // exactly what it held.
    lumo_subreq *request = lumo_subreq_subscribe(1, std::string(300, 's').c_str(), "c", nullptr, 1, props);
    ::lumo_proplist_destroy(&props);
    ByteBuffer out;
    ASSERT_TRUE(lumo_subreq_write(request, out));
    const std::string one(out.data(), out.size());
    tried = test::for_each_allocation_failure([&] {
        bool result = lumo_subreq_write(request, out);
        EXPECT_EQ(std::string(out.data(), out.size()), result ? one + one : one);
        return result;
    });
    EXPECT_GE(tried, 1);
    lumo_subreq_free(request);
}

}  // namespace
}  // namespace vavevar
