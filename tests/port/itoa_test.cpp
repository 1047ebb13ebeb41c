#include "port/itoa.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace vavevar {
namespace {

std::string itoa(std::int32_t value, std::ptrdiff_t *advance = nullptr) {
    char buffer[12];
    std::memset(buffer, 'x', sizeof buffer);
    char *end = lumo_itoa(buffer, value);
    EXPECT_EQ(*end, '\0');
    if (advance != nullptr) *advance = end - buffer;
    return buffer;
}

TEST(Itoa, WritesDecimalWithoutLeadingZeros) {
    EXPECT_EQ(itoa(0), "0");
    EXPECT_EQ(itoa(7), "7");
    EXPECT_EQ(itoa(10), "10");
    EXPECT_EQ(itoa(-1), "-1");
    EXPECT_EQ(itoa(-305), "-305");
}

TEST(Itoa, HandlesBothExtremesInTwelveBytes) {
    std::ptrdiff_t advance = 0;
    EXPECT_EQ(itoa(INT32_MAX, &advance), "2147483647");
    EXPECT_EQ(advance, 10);
    EXPECT_EQ(itoa(INT32_MIN, &advance), "-2147483648");
    EXPECT_EQ(advance, 11);
}

TEST(Itoa, ReturnsTheNulSoCallsChain) {
    char buffer[32];
    char *end = lumo_itoa(buffer, 12);
    *end++ = ',';
    lumo_itoa(end, -3);
    EXPECT_STREQ(buffer, "12,-3");
}

}  // namespace
}  // namespace vavevar
