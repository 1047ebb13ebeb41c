// The byte buffers of the wire code: a message buffer that fails whole, and
// the input buffer that cuts received bytes into lines, skips and pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "port/bytebuf.h"
#include "port/inbuf.h"
#include "support/alloc_fault.h"

namespace vavevar {
namespace {

std::string content(const ByteBuffer &b) { return std::string(b.data(), b.size()); }

TEST(ByteBuffer, AFailedAppendSticksUntilTruncatedAndKeepsWhatItHeld) {
    ByteBuffer b;
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        std::string piece(static_cast<std::size_t>(i), static_cast<char>('a' + i % 26));
        ASSERT_TRUE(b.append(piece.data(), piece.size()));
        expected += piece;
    }
    EXPECT_EQ(content(b), expected);
    {
        test::AllocFault fault(0);
        const std::string more(b.capacity(), 'x');  // cannot fit without growing
        EXPECT_FALSE(b.append(more.data(), more.size()));
        EXPECT_FALSE(b.append("y", 1));  // even one that would fit
    }
    EXPECT_FALSE(b.ok());
    EXPECT_EQ(content(b), expected);
    b.truncate(10);
    EXPECT_TRUE(b.append("z", 1));
    EXPECT_EQ(content(b), expected.substr(0, 10) + "z");
    b.erase_front(4);
    EXPECT_EQ(content(b), expected.substr(4, 6) + "z");
}

// Feeds `input` in pieces of `piece` bytes and collects the lines taken
// between the pieces.
std::vector<std::string> lines_of(const std::string &input, std::size_t piece) {
    InputBuffer in;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < input.size();) {
        std::size_t room = 0;
        char *into = in.space(&room);
        EXPECT_GE(room, InputBuffer::kInputRoom);
        std::size_t size = std::min({piece, room, input.size() - at});
        input.copy(into, size, at);
        in.filled(size);
        at += size;
        while (const char *line = in.take_line()) lines.emplace_back(line);
    }
    return lines;
}

TEST(InputBuffer, LinesEndAtLfOrCrLfOnlyInAnySplit) {
    std::string long_line(50000, 'L');
    long_line.front() = 'S';
    long_line.back() = 'E';
    const std::string input = "abc\r\ndef\n\r\na\rb\n" + long_line + "\r\nlast";
    const std::vector<std::string> expected{"abc", "def", "", "a\rb", long_line};
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, input.size()})
        EXPECT_EQ(lines_of(input, piece), expected) << "pieces of " << piece;  // "last" has no end
}

TEST(InputBuffer, SkipsAndPiecesTakeWhatIsThereAndTheRestLater) {
    InputBuffer in;
    ASSERT_TRUE(in.feed("Name: value\r\n0123", 17));
    EXPECT_EQ(in.skip(6), 6u);
    EXPECT_STREQ(in.take_line(), "value");
    char digits[8] = {};
    EXPECT_EQ(in.take(digits, 6), 4u);  // only four are there
    EXPECT_STREQ(digits, "0123");
    EXPECT_EQ(in.skip(3), 0u);
    ASSERT_TRUE(in.feed("45\nx", 4));
    EXPECT_EQ(in.skip(3), 3u);
    EXPECT_EQ(in.take_line(), nullptr);
    EXPECT_EQ(in.buffered(), 1u);
    // A skip that ends behind a CR leaves an empty line, not a CR of its own.
    ASSERT_TRUE(in.feed("\r\nnext\n", 7));
    EXPECT_EQ(in.skip(2), 2u);
    EXPECT_STREQ(in.take_line(), "");
    EXPECT_STREQ(in.take_line(), "next");
}

TEST(InputBuffer, HoldsOnlyWhatIsNotYetTaken) {
    InputBuffer in;
    const std::string line = std::string(100, 'x') + "\n";
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(in.feed(line.data(), line.size()));
        ASSERT_NE(in.take_line(), nullptr);
    }
    const std::size_t held = in.held();
    EXPECT_LE(held, 2 * InputBuffer::kInputRoom + line.size());
}

TEST(InputBuffer, FailsCleanlyWithoutMemory) {
    // A piece that does not fit, and the first room of an empty buffer,
    // find no memory: what was there stays, and nothing else comes in.
    InputBuffer in;
    ASSERT_TRUE(in.feed("ab", 2));
    const std::string partial(in.held(), 'p');
    std::size_t room = 0;
    {
        test::AllocFault fault(0);
        EXPECT_FALSE(in.feed(partial.data(), partial.size()));
        InputBuffer empty;
        EXPECT_EQ(empty.space(&room), nullptr);
    }
    ASSERT_TRUE(in.feed("\n", 1));
    EXPECT_STREQ(in.take_line(), "ab");
}

}  // namespace
}  // namespace vavevar
