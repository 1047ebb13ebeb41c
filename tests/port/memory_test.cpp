#include "port/memory.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/alloc_fault.h"

namespace vavevar {
namespace {

TEST(Memory, StrdupMakesAnIndependentCopy) {
    char source[] = "hello";
    char *copy = lumo_strdup(source);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, source);
    source[0] = 'j';
    EXPECT_STREQ(copy, "hello");
    lumo_free(copy);
}

TEST(Memory, StrdupNullOfNullAllocatesNothing) {
    test::AllocFault no_allocations(0);
    EXPECT_EQ(lumo_strdup_null(nullptr), nullptr);
}

TEST(Memory, StrdupNullOfEmptyIsANewEmptyText) {
    const char *empty = "";
    char *copy = lumo_strdup_null(empty);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, empty);
    EXPECT_STREQ(copy, "");
    lumo_free(copy);
}

TEST(Memory, FreeOfNullIsHarmless) { lumo_free(nullptr); }

TEST(Memory, InjectedFailureHitsExactlyTheChosenAllocation) {
    test::AllocFault fault(2);
    void *first = lumo_malloc(8);
    char *second = lumo_strdup("x");
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(lumo_strdup("y"), nullptr);
    EXPECT_EQ(lumo_malloc(1), nullptr);
    void *block = std::malloc(4);
    EXPECT_EQ(lumo_realloc(block, 64), nullptr);  // the old block stays valid
    std::free(block);
    lumo_free(first);
    lumo_free(second);
}

TEST(Memory, ClearingTheFaultRestoresAllocation) {
    { test::AllocFault fault(0); EXPECT_EQ(lumo_malloc(1), nullptr); }
    void *block = lumo_malloc(1);
    EXPECT_NE(block, nullptr);
    lumo_free(block);
}

}  // namespace
}  // namespace vavevar
