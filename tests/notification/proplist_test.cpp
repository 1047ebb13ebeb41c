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

TEST_F(Proplist, EntriesKeepInsertionOrder) {
    const lumo_property *a = ::lumo_proplist_put(list, "a", "1");
    const lumo_property *b = ::lumo_proplist_put(list, "b", "2");
    const lumo_property *upper = ::lumo_proplist_put(list, "B", "");
    ASSERT_TRUE(a && b && upper);
    EXPECT_EQ(::lumo_proplist_getIndex(list, 0), a);
    EXPECT_EQ(::lumo_proplist_getIndex(list, 1), b);
    EXPECT_EQ(::lumo_proplist_getIndex(list, 2), upper);
    for (int32_t outside : {-1, 3, INT32_MIN}) EXPECT_EQ(::lumo_proplist_getIndex(list, outside), nullptr);
}

TEST_F(Proplist, EntriesArePrivateCopies) {
    char name[] = "a", value[] = "1";
    ASSERT_NE(::lumo_proplist_put(list, name, value), nullptr);
    name[0] = value[0] = 'X';
    EXPECT_STREQ(::lumo_proplist_get(list, "a"), "1");
    EXPECT_EQ(::lumo_proplist_get(list, "X"), nullptr);
}

TEST_F(Proplist, NamesAreCaseSensitive) {
    ASSERT_NE(::lumo_proplist_put(list, "a", "1"), nullptr);
    ASSERT_NE(::lumo_proplist_put(list, "b", "2"), nullptr);
    ASSERT_NE(::lumo_proplist_put(list, "B", ""), nullptr);
    EXPECT_STREQ(::lumo_proplist_get(list, "B"), "");
    EXPECT_STREQ(::lumo_proplist_get(list, "b"), "2");
    EXPECT_EQ(::lumo_proplist_get(list, "A"), nullptr);
}

TEST_F(Proplist, PuttingAnExistingNameReplacesItsValueInPlace) {
    ::lumo_proplist_put(list, "a", "1");
    const lumo_property *b = ::lumo_proplist_put(list, "b", "2");
    ::lumo_proplist_put(list, "B", "");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(::lumo_proplist_put(list, "b", nullptr), nullptr);
    EXPECT_EQ(::lumo_proplist_put(list, "b", "two"), b);
    EXPECT_EQ(::lumo_proplist_count(list), 3);
    EXPECT_STREQ(::lumo_proplist_getIndex(list, 1)->name, "b");
    EXPECT_STREQ(::lumo_proplist_getIndex(list, 1)->value, "two");
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

TEST_F(Proplist, CopyIsDeepWithTheSameShape) {
    lumo_proplist *copy = lumo_proplist_copy(list);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->entries, nullptr);
    ::lumo_proplist_destroy(&copy);
    EXPECT_EQ(copy, nullptr);

    put_numbered(10, "x");
    copy = lumo_proplist_copy(list);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->capacity, list->capacity);
    ASSERT_EQ(copy->count, list->count);
    for (int i = 0; i < copy->count; ++i) {
        EXPECT_NE(copy->entries[i].name, list->entries[i].name);
        EXPECT_STREQ(copy->entries[i].name, list->entries[i].name);
        EXPECT_STREQ(copy->entries[i].value, list->entries[i].value);
    }
    ::lumo_proplist_destroy(&copy);
}

// Wherever memory runs out, the copy is null with nothing of it left behind
// (the leak checker looks) and the source is untouched.
TEST_F(Proplist, CopyThatRunsOutOfMemoryGivesNull) {
    put_numbered(10, "x");
    lumo_proplist *copy = nullptr;
    int tried = test::for_each_allocation_failure([&] {
        copy = lumo_proplist_copy(list);
        EXPECT_EQ(::lumo_proplist_count(list), 10);
        return copy != nullptr;
    });
    EXPECT_GT(tried, 0);
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(copy->count, 10);
    for (int i = 0; i < copy->count; ++i) EXPECT_STREQ(copy->entries[i].name, ("n" + std::to_string(i)).c_str());
    ::lumo_proplist_destroy(&copy);
}

}  // namespace
}  // namespace vavevar
