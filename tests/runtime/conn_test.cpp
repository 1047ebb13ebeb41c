// The connection record over local socket pairs: whole sends, plain
// receives, a peer that went away, and invalidation from another thread.
#include "runtime/conn.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
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

bool send(lumo_conn *c, const std::string &bytes) { return lumo_conn_send(c, bytes.data(), bytes.size()); }

std::string receive(lumo_conn *c, std::size_t room = 64) {
    std::string into(room, '\0');
    std::int64_t got = lumo_conn_receive(c, into.data(), into.size());
    return got < 0 ? "<fail>" : into.substr(0, static_cast<std::size_t>(got));
}

TEST(Conn, AMessageGoesOutWholeHoweverLargeInOneSendWhereThePeerTakesIt) {
    test::SocketPair packets{SOCK_SEQPACKET};  // one packet per send call
    Conn small(packets.library());
    ASSERT_TRUE(send(small.c, "POST /event HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(packets.peer_receive(20), std::vector<std::string>{"POST /event HTTP/1.1\r\n\r\n"});
    EXPECT_TRUE(lumo_conn_send(small.c, "", 0));
    EXPECT_TRUE(packets.peer_receive(20).empty());

    // Larger than the socket buffers: it goes in as many sends as it takes,
    // while the peer reads.
    test::SocketPair stream;
    Conn big(stream.library());
    std::string message(4 << 20, 'm');
    message.back() = 'E';
    std::string got;
    std::thread reader([&] { got = stream.peer_receive_all(500); });
    EXPECT_TRUE(send(big.c, message));
    reader.join();
    EXPECT_EQ(got, message);
}

// The sender frees what the kernel took whole and writes the rest again, so
// a send must say how far it got, also when it fails part way.
TEST(Conn, ASendTellsHowManyBytesTheKernelTook) {
    test::SocketPair stream;
    Conn conn(stream.library());
    std::size_t handed = 0;
    ASSERT_TRUE(lumo_conn_send(conn.c, "twelve bytes", 12, &handed));
    EXPECT_EQ(handed, 12u);
    EXPECT_EQ(stream.peer_receive_all(200), "twelve bytes");

    // The peer goes once the (small) socket buffers are full: the kernel
    // took some.
    const int small = 64 << 10;
    ASSERT_EQ(::setsockopt(stream.library(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    std::string message(8 << 20, 'm');
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stream.close_peer();
    });
    EXPECT_FALSE(lumo_conn_send(conn.c, message.data(), message.size(), &handed));
    closer.join();
    EXPECT_GT(handed, 0u);
    EXPECT_LT(handed, message.size());

    lumo_conn_invalidate(conn.c);
    EXPECT_FALSE(lumo_conn_send(conn.c, "x", 1, &handed));
    EXPECT_EQ(handed, 0u);
}

TEST(Conn, AClosedPeerEndsReceivesAfterWhatItSent) {
    test::SocketPair pair;
    Conn conn(pair.library());
    ASSERT_TRUE(pair.peer_send("abc"));
    pair.close_peer();
    EXPECT_EQ(receive(conn.c), "abc");
    EXPECT_EQ(receive(conn.c), "");  // 0: closed
}

TEST(Conn, ASendToAClosedPeerFailsWithoutKillingTheProcess) {
    test::SocketPair pair;
    Conn conn(pair.library());
    pair.close_peer();
    EXPECT_FALSE(send(conn.c, "message"));  // no SIGPIPE
}

TEST(Conn, AnInvalidatedRecordFailsSendsAndReceives) {
    test::SocketPair pair;
    Conn conn(pair.library());
    ASSERT_TRUE(pair.peer_send("ready\n"));
    lumo_conn_invalidate(conn.c);
    EXPECT_EQ(receive(conn.c), "<fail>");
    EXPECT_FALSE(send(conn.c, "more"));
    EXPECT_TRUE(pair.peer_receive(20).empty());
}

TEST(Conn, AnInvalidatedRecordKeepsItsSocketOpen) {
    test::SocketPair pair;
    Conn conn(pair.library());
    lumo_conn_invalidate(conn.c);
    EXPECT_EQ(lumo_conn_socket(conn.c), pair.library());
    lumo_conn_free(conn.c);
    conn.c = nullptr;
    EXPECT_TRUE(pair.peer_send("socket still open\n"));
}

TEST(Conn, CreateRefusesMinusOne) { EXPECT_EQ(lumo_conn_create(-1), nullptr); }

TEST(Conn, CreateFailsCleanlyWithoutMemory) {
    test::SocketPair pair;
    int tried = test::for_each_allocation_failure([&] {
        Conn conn(pair.library());
        return conn.c != nullptr;
    });
    EXPECT_GT(tried, 0);
}

}  // namespace
}  // namespace vavevar
