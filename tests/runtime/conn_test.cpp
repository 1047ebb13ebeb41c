// The buffered connection over local socket pairs: how writes are gathered
// into sends, and how received bytes are cut into lines and pieces.
#include "runtime/conn.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/alloc_fault.h"
#include "support/socket_pair.h"

namespace vavevar {
namespace {

struct Conn {
    lumo_conn *c;
    explicit Conn(int socket) : c(lumo_conn_create(socket)) {}
    ~Conn() { lumo_conn_free(c); }
};

int write(lumo_conn *c, const std::string &bytes) {
    return lumo_conn_write(c, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

std::string readline(lumo_conn *c) {
    char *line = nullptr;
    if (!lumo_conn_readline(c, &line)) return "<fail>";
    return line;
}

// A connection over a stream socket pair.
class ConnTest : public ::testing::Test {
protected:
    test::SocketPair pair;
    Conn conn{pair.library()};
};

TEST(ConnWrite, PiecesAreGatheredUpToTheBufferAndLargerOnesSentDirectly) {
    using Sends = std::vector<std::string>;
    const std::string x2000(2000, 'x'), y100(100, 'y'), big(3000, 'z'), rest(2044, 'f');
    struct Case {
        std::vector<std::string> writes;
        Sends before_flush, at_flush;  // one string per send call
    };
    for (const Case &c : std::vector<Case>{
             {{std::string(60, 'a'), "bb"}, {}, {std::string(60, 'a') + "bb"}},
             {{x2000, y100}, {x2000}, {y100}},  // what does not fit sends what was gathered
             {{"head", rest}, {}, {"head" + rest}},  // exactly a full buffer is still gathered
             {{big}, {big}, {}},
             {{"head", big}, {"head", big}, {}},  // gathered bytes go first
             {{}, {}, {}}}) {
        test::SocketPair pair{SOCK_SEQPACKET};  // one packet per send call
        Conn conn(pair.library());
        for (const std::string &piece : c.writes) ASSERT_NE(write(conn.c, piece), 0);
        EXPECT_EQ(pair.peer_receive(20), c.before_flush) << c.writes.size();
        ASSERT_EQ(lumo_conn_flush(conn.c), 1);
        EXPECT_EQ(pair.peer_receive(20), c.at_flush) << c.writes.size();
    }
}

TEST_F(ConnTest, WritingToAClosedPeerFailsWithoutKillingTheProcess) {
    pair.close_peer();
    ASSERT_EQ(write(conn.c, "message"), 1);
    EXPECT_EQ(lumo_conn_flush(conn.c), 0);  // no SIGPIPE
    EXPECT_EQ(write(conn.c, std::string(4000, 'x')), 0);
}

TEST_F(ConnTest, LinesEndAtLfOrCrLfAndALoneCrStaysInTheLine) {
    ASSERT_TRUE(pair.peer_send("abc\r\ndef\n\r\na\rb\nlast"));
    pair.close_peer();
    EXPECT_EQ(readline(conn.c), "abc");
    EXPECT_EQ(readline(conn.c), "def");
    EXPECT_EQ(readline(conn.c), "");
    EXPECT_EQ(readline(conn.c), "a\rb");
    EXPECT_EQ(readline(conn.c), "<fail>");  // no line end before the peer closed
}

TEST_F(ConnTest, LinesComeBackWholeFromSingleBytesAndBeyondTheBuffer) {
    std::string long_line(5000, 'L');
    long_line.front() = 'S';
    long_line.back() = 'E';
    const std::string input = "first line\r\nsecond\n" + long_line + "\r\nafter\n";
    std::thread feeder([&] {
        for (std::size_t i = 0; i < input.size(); ++i) {
            // Byte by byte through the short lines, then the rest at once.
            std::size_t n = i < 20 ? 1 : input.size() - i;
            pair.peer_send(input.substr(i, n));
            i += n - 1;
            std::this_thread::yield();
        }
    });
    EXPECT_EQ(readline(conn.c), "first line");
    EXPECT_EQ(readline(conn.c), "second");
    EXPECT_EQ(readline(conn.c), long_line);
    EXPECT_EQ(readline(conn.c), "after");
    feeder.join();
}

TEST_F(ConnTest, FailedGrowthFailsTheRead) {
    ASSERT_TRUE(pair.peer_send(std::string(3000, 'n')));
    test::AllocFault fault(0);
    EXPECT_EQ(readline(conn.c), "<fail>");
}

TEST_F(ConnTest, SkipAndReadTakeExactCountsAcrossReceives) {
    std::string body(3000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    std::thread feeder([&] {
        for (const std::string &piece : {std::string("Name: value\r\n"), std::string("0123456789"), body,
                                         std::string("tail\nabcd")})
            pair.peer_send(piece);
        pair.close_peer();
    });
    ASSERT_EQ(lumo_conn_skip(conn.c, 6), 1);
    EXPECT_EQ(readline(conn.c), "value");
    ASSERT_EQ(lumo_conn_skip(conn.c, 4), 1);
    char digits[6] = {};
    ASSERT_EQ(lumo_conn_read(conn.c, digits, 5), 1);
    EXPECT_STREQ(digits, "45678");
    ASSERT_EQ(lumo_conn_skip(conn.c, 1), 1);
    std::string got(body.size(), '\0');
    ASSERT_EQ(lumo_conn_read(conn.c, got.data(), static_cast<std::uint32_t>(got.size())), 1);
    EXPECT_EQ(got, body);
    EXPECT_EQ(readline(conn.c), "tail");
    feeder.join();

    char into[10];
    testing::internal::CaptureStderr();
    EXPECT_EQ(lumo_conn_read(conn.c, into, 10), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "READ LESS THAN THE FULL BUFFER, ret=0, len=6\n");
    EXPECT_EQ(lumo_conn_skip(conn.c, 1), 0);
}

TEST(ConnLifecycle, CreateRefusesMinusOneAndFailsCleanlyWithoutMemory) {
    EXPECT_EQ(lumo_conn_create(-1), nullptr);
    test::SocketPair pair;
    int tried = test::for_each_allocation_failure([&] {
        Conn conn(pair.library());
        return conn.c != nullptr;
    });
    EXPECT_EQ(tried, 2);  // record, buffer
}

TEST_F(ConnTest, InvalidatedRecordFailsEveryOperationButKeepsTheSocket) {
    ASSERT_TRUE(pair.peer_send("ready\n"));
    ASSERT_EQ(write(conn.c, "gathered"), 1);
    lumo_conn_invalidate(conn.c);
    char *line = nullptr;
    char byte;
    EXPECT_EQ(lumo_conn_readline(conn.c, &line), 0);
    EXPECT_EQ(lumo_conn_skip(conn.c, 1), 0);
    EXPECT_EQ(lumo_conn_read(conn.c, &byte, 1), 0);
    EXPECT_EQ(write(conn.c, "more"), 0);
    EXPECT_EQ(lumo_conn_flush(conn.c), 0);
    EXPECT_TRUE(pair.peer_receive(20).empty());
    EXPECT_EQ(lumo_conn_socket(conn.c), pair.library());
    lumo_conn_free(conn.c);
    conn.c = nullptr;
    EXPECT_TRUE(pair.peer_send("socket still open\n"));
}

}  // namespace
}  // namespace vavevar
