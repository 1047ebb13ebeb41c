// Property lists through the exported interface, plus the internal copy.
#include <gtest/gtest.h>

#include <string>

#include "notification/proplist.h"
#include "support/alloc_fault.h"
#include "vavevar.h"

namespace vavevar {
namespace {

class Proplist : public ::testing::Test {
protected:
    void TearDown() override { ::lumo_proplist_destroy(&list); }
    void put_numbered(int count, const char *value) {
        for (int i = 0; i < count; ++i)
            ::lumo_proplist_put(list, ("n" + std::to_string(i)).c_str(), value);
    }
    lumo_proplist *list = ::lumo_proplist_create();
};

// Private copies in insertion order, names case-sensitive, a put of an
// existing name replacing the value in place.
TEST_F(Proplist, EntriesAreCopiesInInsertionOrderReplacedInPlace) {
    char name[] = "a", value[] = "1";
    const lumo_property *a = ::lumo_proplist_put(list, name, value);
    name[0] = value[0] = 'X';
    const lumo_property *b = ::lumo_proplist_put(list, "b", "2");
    const lumo_property *upper = ::lumo_proplist_put(list, "B", "");
    ASSERT_TRUE(a && b && upper);
    EXPECT_STREQ(::lumo_proplist_get(list, "a"), "1");
    EXPECT_EQ(::lumo_proplist_get(list, "X"), nullptr);
    EXPECT_EQ(::lumo_proplist_get(list, "A"), nullptr);
    EXPECT_STREQ(::lumo_proplist_get(list, "B"), "");
    EXPECT_EQ(::lumo_proplist_put(list, "b", "two"), b);
    EXPECT_EQ(::lumo_proplist_count(list), 3);
    const lumo_property *in_order[] = {a, b, upper};
    for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(::lumo_proplist_getIndex(list, i), in_order[i]);
    EXPECT_STREQ(b->value, "two");
}

TEST_F(Proplist, FailedPutLeavesTheListExactlyAsBefore) {
    put_numbered(8, "v");
    // The ninth entry needs the name, the value and a larger array.
    int tried = test::for_each_allocation_failure([&] {
        const lumo_property *e = ::lumo_proplist_put(list, "ninth", "v9");
        if (e == nullptr) {
            EXPECT_EQ(::lumo_proplist_count(list), 8);
            EXPECT_EQ(list->capacity, 8);
            EXPECT_EQ(::lumo_proplist_get(list, "ninth"), nullptr);
        }
        return e != nullptr;
    });
    EXPECT_GT(tried, 0);
    // Grown, with every entry where it was.
    ASSERT_EQ(::lumo_proplist_count(list), 9);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(::lumo_proplist_getIndex(list, i)->name, "n" + std::to_string(i));
    EXPECT_STREQ(::lumo_proplist_getIndex(list, 8)->value, "v9");
    {
        test::AllocFault fault(0);
        EXPECT_EQ(::lumo_proplist_put(list, "n3", "replacement"), nullptr);
    }
    EXPECT_STREQ(::lumo_proplist_get(list, "n3"), "v");
}

// Wherever memory runs out, the copy is null with nothing of it left behind
// (the leak checker looks) and the source is untouched; else it is deep.
TEST_F(Proplist, CopyIsDeepOrWithoutMemoryNull) {
    lumo_proplist *copy = lumo_proplist_copy(list);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->entries, nullptr);
    ::lumo_proplist_destroy(&copy);
    put_numbered(10, "x");
    int tried = test::for_each_allocation_failure([&] {
        copy = lumo_proplist_copy(list);
        EXPECT_EQ(::lumo_proplist_count(list), 10);
        return copy != nullptr;
    });
    EXPECT_GT(tried, 0);
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(copy->count, 10);
    EXPECT_EQ(copy->capacity, list->capacity);
    for (int i = 0; i < copy->count; ++i) {
        EXPECT_NE(copy->entries[i].name, list->entries[i].name);
        EXPECT_STREQ(copy->entries[i].name, ("n" + std::to_string(i)).c_str());
        EXPECT_STREQ(copy->entries[i].value, "x");
    }
    ::lumo_proplist_destroy(&copy);
    EXPECT_EQ(copy, nullptr);
}

}  // namespace
}  // namespace vavevar
