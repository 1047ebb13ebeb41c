// The buffered connection over local socket pairs: how writes are gathered
// into sends, and how received bytes are cut into lines and pieces.
#include "runtime/conn.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

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

class ConnWrite : public ::testing::Test {
protected:
    test::SocketPair pair{SOCK_SEQPACKET};  // one packet per send call
    Conn conn{pair.library()};
};

TEST_F(ConnWrite, SmallMessageGoesOutInOneSendOnFlush) {
    ASSERT_EQ(write(conn.c, std::string(60, 'a')), 1);
    ASSERT_EQ(write(conn.c, std::string(40, 'b')), 1);
    EXPECT_TRUE(pair.peer_receive(20).empty());  // nothing before the flush
    ASSERT_EQ(lumo_conn_flush(conn.c), 1);
    auto sends = pair.peer_receive();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0], std::string(60, 'a') + std::string(40, 'b'));
}

TEST_F(ConnWrite, APieceThatDoesNotFitSendsWhatWasGatheredAndIsKept) {
    ASSERT_EQ(write(conn.c, std::string(2000, 'x')), 1);
    ASSERT_EQ(write(conn.c, std::string(100, 'y')), 1);
    auto sends = pair.peer_receive();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0], std::string(2000, 'x'));
    ASSERT_EQ(lumo_conn_flush(conn.c), 1);
    sends = pair.peer_receive();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0], std::string(100, 'y'));
}

TEST_F(ConnWrite, APieceLargerThanTheBufferBypassesIt) {
    std::string big(3000, 'z');
    big[2999] = '!';
    ASSERT_NE(write(conn.c, big), 0);
    auto sends = pair.peer_receive();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0], big);
    EXPECT_EQ(lumo_conn_flush(conn.c), 1);
    EXPECT_TRUE(pair.peer_receive(20).empty());
}

TEST_F(ConnWrite, GatheredBytesGoFirstThenTheLargePieceDirectly) {
    ASSERT_EQ(write(conn.c, "head"), 1);
    ASSERT_NE(write(conn.c, std::string(5000, 'q')), 0);
    auto sends = pair.peer_receive();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0], "head");
    EXPECT_EQ(sends[1].size(), 5000u);
}

TEST_F(ConnWrite, FlushWithNothingGatheredSendsNothing) {
    EXPECT_EQ(lumo_conn_flush(conn.c), 1);
    EXPECT_TRUE(pair.peer_receive(20).empty());
}

TEST_F(ConnWrite, ExactlyAFullBufferIsStillGathered) {
    ASSERT_EQ(write(conn.c, std::string(2048, 'f')), 1);
    EXPECT_TRUE(pair.peer_receive(20).empty());
    ASSERT_EQ(lumo_conn_flush(conn.c), 1);
    EXPECT_EQ(pair.peer_receive().at(0).size(), 2048u);
}

TEST_F(ConnWrite, WritingToAClosedPeerFailsWithoutKillingTheProcess) {
    pair.close_peer();
    ASSERT_EQ(write(conn.c, "message"), 1);
    EXPECT_EQ(lumo_conn_flush(conn.c), 0);  // no SIGPIPE
    EXPECT_EQ(write(conn.c, std::string(4000, 'x')), 0);
}

TEST(ConnRead, LinesEndAtLfOrCrLfAndALoneCrStaysInTheLine) {
    test::SocketPair pair;
    Conn conn(pair.library());
    ASSERT_TRUE(pair.peer_send("abc\r\ndef\n\r\na\rb\nlast"));
    pair.close_peer();
    EXPECT_EQ(readline(conn.c), "abc");
    EXPECT_EQ(readline(conn.c), "def");
    EXPECT_EQ(readline(conn.c), "");
    EXPECT_EQ(readline(conn.c), "a\rb");
    EXPECT_EQ(readline(conn.c), "<fail>");  // no line end before the peer closed
}

TEST(ConnRead, LinesArrivingOneByteAtATimeComeBackWhole) {
    test::SocketPair pair;
    Conn conn(pair.library());
    const std::string input = "first line\r\nsecond\n";
    std::thread feeder([&] {
        for (char c : input) {
            pair.peer_send(std::string(1, c));
            std::this_thread::yield();
        }
    });
    EXPECT_EQ(readline(conn.c), "first line");
    EXPECT_EQ(readline(conn.c), "second");
    feeder.join();
}

TEST(ConnRead, ALineLongerThanTheBufferGrowsItAndComesBackWhole) {
    test::SocketPair pair;
    Conn conn(pair.library());
    std::string longLine(5000, 'L');
    longLine[0] = 'S';
    longLine[4999] = 'E';
    std::thread feeder([&] { pair.peer_send("x\n" + longLine + "\r\nafter\n"); });
    EXPECT_EQ(readline(conn.c), "x");
    EXPECT_EQ(readline(conn.c), longLine);
    EXPECT_EQ(readline(conn.c), "after");
    EXPECT_EQ(conn.c->capacity % kConnBufferStep, 0u);
    EXPECT_GE(conn.c->capacity, 6144u);
    feeder.join();
}

TEST(ConnRead, FailedGrowthFailsTheRead) {
    test::SocketPair pair;
    Conn conn(pair.library());
    ASSERT_TRUE(pair.peer_send(std::string(3000, 'n')));
    test::AllocFault fault(0);
    EXPECT_EQ(readline(conn.c), "<fail>");
}

TEST(ConnRead, SkipAndReadTakeExactCountsAcrossReceives) {
    test::SocketPair pair;
    Conn conn(pair.library());
    std::string body(3000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    std::thread feeder([&] {
        pair.peer_send("Name: value\r\n");
        pair.peer_send("0123456789");
        pair.peer_send(body);
        pair.peer_send("tail\n");
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
}

TEST(ConnRead, ShortReadIsReportedWithTheMissingCount) {
    test::SocketPair pair;
    Conn conn(pair.library());
    ASSERT_TRUE(pair.peer_send("abcd"));
    pair.close_peer();
    char into[10];
    testing::internal::CaptureStderr();
    EXPECT_EQ(lumo_conn_read(conn.c, into, 10), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "READ LESS THAN THE FULL BUFFER, ret=0, len=6\n");
}

TEST(ConnRead, SkipPastTheEndFails) {
    test::SocketPair pair;
    Conn conn(pair.library());
    ASSERT_TRUE(pair.peer_send("abc"));
    pair.close_peer();
    EXPECT_EQ(lumo_conn_skip(conn.c, 5), 0);
}

TEST(ConnLifecycle, CreateRefusesMinusOneAndFailsCleanlyWithoutMemory) {
    EXPECT_EQ(lumo_conn_create(-1), nullptr);
    test::SocketPair pair;
    int tried = test::for_each_allocation_failure([&] {
        lumo_conn *c = lumo_conn_create(pair.library());
        bool ok = c != nullptr;
        lumo_conn_free(c);
        return ok;
    });
    EXPECT_EQ(tried, 2);  // record, buffer
}

TEST(ConnLifecycle, InvalidatedRecordFailsEveryOperationButKeepsTheSocket) {
    test::SocketPair pair;
    Conn conn(pair.library());
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
