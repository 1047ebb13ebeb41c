#include "port/textbuf.h"

#include <gtest/gtest.h>

#include <string>

#include "port/memory.h"
#include "support/alloc_fault.h"

namespace vavevar {
namespace {

// Owns a text buffer for the length of a test.
struct Text {
    char *text = nullptr;
    ~Text() { lumo_free(text); }
    std::uint32_t capacity() const { return lumo_textbuf_capacity(text); }
};

TEST(Textbuf, FirstAppendCreatesABufferOf1024) {
    Text t;
    EXPECT_EQ(lumo_textbuf_printf(&t.text, "%s=%d", "a", 12), 4);
    ASSERT_NE(t.text, nullptr);
    EXPECT_STREQ(t.text, "a=12");
    EXPECT_EQ(t.capacity(), 1024u);
}

TEST(Textbuf, NullVariableAddressIsRefused) {
    EXPECT_EQ(lumo_textbuf_printf(nullptr, "x"), -1);
}

TEST(Textbuf, EmptyAppendKeepsTheText) {
    Text t;
    ASSERT_EQ(lumo_textbuf_printf(&t.text, "abc"), 3);
    EXPECT_EQ(lumo_textbuf_printf(&t.text, "%s", ""), 3);
    EXPECT_STREQ(t.text, "abc");
}

TEST(Textbuf, Grows1024AtATimeExactlyWhenTheTextReaches1024) {
    Text t;
    std::string expected;
    // 1023 characters in single bytes fit the first block.
    for (int i = 0; i < 1023; ++i) {
        char c = static_cast<char>('a' + i % 26);
        ASSERT_EQ(lumo_textbuf_printf(&t.text, "%c", c), i + 1);
        expected += c;
    }
    EXPECT_EQ(t.capacity(), 1024u);
    ASSERT_EQ(lumo_textbuf_printf(&t.text, "Z"), 1024);
    expected += 'Z';
    EXPECT_EQ(t.capacity(), 2048u);
    EXPECT_EQ(std::string(t.text), expected);
}

TEST(Textbuf, ALongPieceGrowsByAsManyStepsAsItNeeds) {
    Text t;
    std::string piece(5000, 'q');
    ASSERT_EQ(lumo_textbuf_printf(&t.text, "ab"), 2);
    ASSERT_EQ(lumo_textbuf_printf(&t.text, "%s", piece.c_str()), 5002);
    // The multiple of 1024 that leaves at least two bytes behind the text.
    EXPECT_EQ(t.capacity(), 5120u);
    EXPECT_EQ(std::string(t.text), "ab" + piece);
}

TEST(Textbuf, CapacityWordSurvivesEveryLengthModulo8) {
    Text t;
    for (int i = 1; i <= 40; ++i) {
        ASSERT_EQ(lumo_textbuf_printf(&t.text, "%d", i % 10), i);
        ASSERT_EQ(t.capacity(), 1024u);
    }
}

TEST(Textbuf, FailedFirstAllocationLeavesTheVariableNull) {
    Text t;
    test::AllocFault fault(0);
    EXPECT_EQ(lumo_textbuf_printf(&t.text, "x"), -1);
    EXPECT_EQ(t.text, nullptr);
}

TEST(Textbuf, FailedGrowthKeepsTheOldTextWhole) {
    Text t;
    std::string start(1000, 's');
    ASSERT_EQ(lumo_textbuf_printf(&t.text, "%s", start.c_str()), 1000);
    {
        test::AllocFault fault(0);
        EXPECT_EQ(lumo_textbuf_printf(&t.text, "%s", std::string(100, 'x').c_str()), -1);
    }
    EXPECT_EQ(std::string(t.text), start);
    EXPECT_EQ(t.capacity(), 1024u);
    // And the buffer is still usable afterwards.
    EXPECT_EQ(lumo_textbuf_printf(&t.text, "%s", "end"), 1003);
    EXPECT_EQ(std::string(t.text), start + "end");
}

}  // namespace
}  // namespace vavevar
