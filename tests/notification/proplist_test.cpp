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
    lumo_proplist *list = ::lumo_proplist_create();
};

TEST_F(Proplist, NewListIsEmpty) {
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(::lumo_proplist_count(list), 0);
    EXPECT_EQ(::lumo_proplist_getIndex(list, 0), nullptr);
    EXPECT_EQ(::lumo_proplist_get(list, "a"), nullptr);
}

TEST_F(Proplist, EntriesKeepInsertionOrderAndReplaceInPlace) {
    const lumo_property *a = ::lumo_proplist_put(list, "a", "1");
    const lumo_property *b = ::lumo_proplist_put(list, "b", "2");
    const lumo_property *c = ::lumo_proplist_put(list, "c", "3");
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(::lumo_proplist_getIndex(list, 0), a);
    EXPECT_EQ(::lumo_proplist_getIndex(list, 1), b);
    EXPECT_EQ(::lumo_proplist_getIndex(list, 2), c);

    EXPECT_EQ(::lumo_proplist_put(list, "b", "two"), b);
    EXPECT_EQ(::lumo_proplist_count(list), 3);
    EXPECT_STREQ(::lumo_proplist_getIndex(list, 1)->name, "b");
    EXPECT_STREQ(::lumo_proplist_getIndex(list, 1)->value, "two");
    EXPECT_STREQ(::lumo_proplist_get(list, "b"), "two");
}

TEST_F(Proplist, KeepsPrivateCopiesOfNameAndValue) {
    char name[] = "key", value[] = "value";
    ::lumo_proplist_put(list, name, value);
    name[0] = 'X';
    value[0] = 'X';
    EXPECT_STREQ(::lumo_proplist_get(list, "key"), "value");
}

TEST_F(Proplist, GrowsByEightWithEntriesIntact) {
    for (int i = 0; i < 17; ++i) {
        std::string n = "name" + std::to_string(i), v = "value" + std::to_string(i);
        ASSERT_NE(::lumo_proplist_put(list, n.c_str(), v.c_str()), nullptr);
        EXPECT_EQ(list->capacity, ((i / kProplistStep) + 1) * kProplistStep);
    }
    EXPECT_EQ(list->capacity, 24);
    ASSERT_EQ(::lumo_proplist_count(list), 17);
    for (int i = 0; i < 17; ++i) {
        const lumo_property *e = ::lumo_proplist_getIndex(list, i);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(std::string(e->name), "name" + std::to_string(i));
        EXPECT_EQ(std::string(e->value), "value" + std::to_string(i));
    }
}

TEST_F(Proplist, NamesAreCaseSensitive) {
    ::lumo_proplist_put(list, "Name", "upper");
    ::lumo_proplist_put(list, "name", "lower");
    EXPECT_EQ(::lumo_proplist_count(list), 2);
    EXPECT_STREQ(::lumo_proplist_get(list, "Name"), "upper");
    EXPECT_STREQ(::lumo_proplist_get(list, "name"), "lower");
    EXPECT_EQ(::lumo_proplist_get(list, "NAME"), nullptr);
}

TEST_F(Proplist, EmptyValueIsStoredAsEmptyText) {
    ::lumo_proplist_put(list, "e", "");
    const char *value = ::lumo_proplist_get(list, "e");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "");
}

TEST_F(Proplist, NullArgumentsAreRefusedWithoutChange) {
    EXPECT_EQ(::lumo_proplist_put(nullptr, "a", "b"), nullptr);
    EXPECT_EQ(::lumo_proplist_put(list, nullptr, "b"), nullptr);
    EXPECT_EQ(::lumo_proplist_put(list, "a", nullptr), nullptr);
    EXPECT_EQ(::lumo_proplist_count(list), 0);
    ::lumo_proplist_put(list, "a", "kept");
    EXPECT_EQ(::lumo_proplist_put(list, "a", nullptr), nullptr);
    EXPECT_STREQ(::lumo_proplist_get(list, "a"), "kept");
    EXPECT_EQ(::lumo_proplist_get(list, nullptr), nullptr);
    EXPECT_EQ(::lumo_proplist_get(nullptr, "a"), nullptr);
    EXPECT_EQ(::lumo_proplist_count(nullptr), 0);
    EXPECT_EQ(::lumo_proplist_getIndex(nullptr, 0), nullptr);
}

TEST_F(Proplist, GetIndexOutsideTheEntriesIsNull) {
    ::lumo_proplist_put(list, "a", "1");
    ::lumo_proplist_put(list, "b", "2");
    EXPECT_EQ(::lumo_proplist_getIndex(list, -1), nullptr);
    EXPECT_EQ(::lumo_proplist_getIndex(list, 2), nullptr);
    EXPECT_EQ(::lumo_proplist_getIndex(list, INT32_MIN), nullptr);
    EXPECT_NE(::lumo_proplist_getIndex(list, 1), nullptr);
}

TEST_F(Proplist, DestroyClearsTheVariableAndIgnoresRepeats) {
    ::lumo_proplist_put(list, "a", "1");
    ::lumo_proplist_destroy(&list);
    EXPECT_EQ(list, nullptr);
    ::lumo_proplist_destroy(&list);
    ::lumo_proplist_destroy(nullptr);
}

TEST_F(Proplist, FailedPutLeavesTheListExactlyAsBefore) {
    for (int i = 0; i < 8; ++i)
        ::lumo_proplist_put(list, ("n" + std::to_string(i)).c_str(), "v");
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
    EXPECT_EQ(tried, 3);
    EXPECT_STREQ(::lumo_proplist_get(list, "ninth"), "v9");

    {
        test::AllocFault fault(0);
        EXPECT_EQ(::lumo_proplist_put(list, "n3", "replacement"), nullptr);
    }
    EXPECT_STREQ(::lumo_proplist_get(list, "n3"), "v");
}

TEST_F(Proplist, CopyIsDeepAndKeepsShape) {
    for (int i = 0; i < 10; ++i)
        ::lumo_proplist_put(list, ("n" + std::to_string(i)).c_str(), i % 2 ? "" : "x");
    lumo_proplist *copy = lumo_proplist_copy(list);
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

TEST_F(Proplist, CopyOfNullAndOfEmpty) {
    EXPECT_EQ(lumo_proplist_copy(nullptr), nullptr);
    lumo_proplist *copy = lumo_proplist_copy(list);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->entries, nullptr);
    EXPECT_EQ(copy->count, 0);
    ::lumo_proplist_destroy(&copy);
}

TEST_F(Proplist, CopyFailsCleanlyAtEveryAllocation) {
    for (int i = 0; i < 3; ++i) ::lumo_proplist_put(list, ("n" + std::to_string(i)).c_str(), "v");
    int tried = test::for_each_allocation_failure([&] {
        lumo_proplist *copy = lumo_proplist_copy(list);
        bool ok = copy != nullptr;
        ::lumo_proplist_destroy(&copy);
        return ok;
    });
    EXPECT_EQ(tried, 2 + 2 * 3);  // record, array, then name and value per entry
}

}  // namespace
}  // namespace vavevar
