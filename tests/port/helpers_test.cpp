// Allocation with injected failures, decimal formatting and the growable text
// buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "port/itoa.h"
#include "port/memory.h"
#include "port/textbuf.h"
#include "support/alloc_fault.h"

namespace vavevar {
namespace {

TEST(Itoa, WritesDecimalUpToTheNulItReturns) {
    for (const char *text : {"0", "7", "10", "-1", "-305", "2147483647", "-2147483648"}) {
        char buffer[12];
        std::memset(buffer, 'x', sizeof buffer);
        char *end = lumo_itoa(buffer, static_cast<std::int32_t>(std::stoll(text)));
        EXPECT_STREQ(buffer, text);
        EXPECT_EQ(end, buffer + std::strlen(text));
    }
}

// Owns a text buffer for the length of a test.
struct Text {
    char *text = nullptr;
    ~Text() { lumo_free(text); }
    std::uint32_t capacity() const { return lumo_textbuf_capacity(text); }
};

TEST(Textbuf, GrowsBy1024ExactlyWhenTheTextReachesTheCapacity) {
    Text t;
    std::string expected;
    // One byte at a time moves the hidden capacity word through every
    // alignment of the text's end.
    for (int i = 0; i < 1023; ++i) {
        char c = static_cast<char>('a' + i % 26);
        ASSERT_EQ(lumo_textbuf_printf(&t.text, "%c", c), i + 1);
        ASSERT_EQ(t.capacity(), 1024u);
        expected += c;
    }
    EXPECT_EQ(lumo_textbuf_printf(&t.text, "%s", ""), 1023);
    ASSERT_EQ(lumo_textbuf_printf(&t.text, "Z"), 1024);
    EXPECT_EQ(t.capacity(), 2048u);
    ASSERT_EQ(lumo_textbuf_printf(&t.text, "%c=%d", '!', 5), 1027);
    // A long piece grows by as many steps as it needs to leave two bytes to
    // spare: a text of 6143 bytes would fit 6144, but only with one.
    const std::string piece(5116, 'q');
    ASSERT_EQ(lumo_textbuf_printf(&t.text, "%s", piece.c_str()), 6143);
    EXPECT_EQ(t.capacity(), 7168u);
    EXPECT_EQ(std::string(t.text), expected + "Z!=5" + piece);
}

TEST(Textbuf, FailedAllocationKeepsTheOldTextWhole) {
    Text t;
    {
        test::AllocFault fault(0);
        EXPECT_EQ(lumo_textbuf_printf(&t.text, "x"), -1);
        EXPECT_EQ(t.text, nullptr);
    }
    const std::string start(1000, 's');
    ASSERT_EQ(lumo_textbuf_printf(&t.text, "%s", start.c_str()), 1000);
    {
        // The growth's realloc fails: the old block must stay valid and whole.
        test::AllocFault fault(0);
        EXPECT_EQ(lumo_textbuf_printf(&t.text, "%s", std::string(100, 'x').c_str()), -1);
    }
    EXPECT_EQ(std::string(t.text), start);
    EXPECT_EQ(t.capacity(), 1024u);
    EXPECT_EQ(lumo_textbuf_printf(&t.text, "%s", "end"), 1003);
}

}  // namespace
}  // namespace vavevar
