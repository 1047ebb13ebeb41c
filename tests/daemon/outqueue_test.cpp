// A client's output queue on a real socket: events go out as shared bytes
// with each recipient's id and delivery time between them, whatever the
// socket takes at a time, and every byte and its account are given back.
#include "outqueue.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "notification.h"

namespace vavevard {
namespace {

struct Pair {
    int out = -1, in = -1;
    Pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
        out = fds[0];
        in = fds[1];
        ::fcntl(in, F_SETFL, O_NONBLOCK);
    }
    ~Pair() {
        ::close(out);
        ::close(in);
    }
    std::string read_some(std::size_t most) const {
        std::string bytes(most, '\0');
        ssize_t n = ::recv(in, bytes.data(), most, 0);
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return bytes;
    }
};

Notification event(std::string type, std::string body) {
    Notification e;
    e.type = std::move(type);
    e.id = "host:1:7";
    e.generatingComponent = "comp";
    e.creationMs = 1700000000123;
    e.properties = {{"site: a"}};
    e.body = std::move(body);
    return e;
}

// What a subscriber reads for `e`: the message as a whole, rendered the
// plain way, with its id and delivery time in place.
std::string expected(const Notification &e, std::int32_t subscriberId, std::int64_t deliveryMs) {
    std::string digits(RenderedEvent::kDeliveryDigits, '0');
    write_delivery_digits(digits.data(), deliveryMs);
    std::string m = "POST /event HTTP/1.1\r\nclassName: MessageNotification\r\nSubscriberID: " +
                    std::to_string(subscriberId) + "\r\neventType: " + e.type + "\r\neventId: " + e.id +
                    "\r\ncreationTime: " + std::to_string(e.creationMs) + "\r\ndeliveryTime: " + digits +
                    "\r\naffectedComponents: \r\naffectedNodes: \r\ngeneratingComponent: comp\r\n"
                    "generatingProcess: \r\ngeneratingNode: \r\ninstanceName: inst\r\nLocalOnly: false\r\n"
                    "numberOfProperties: 1\r\nsite: a\r\nContent-Length: " +
                    std::to_string(e.body.size()) + "\r\nAddrList-Length: 0\r\n\r\n" + e.body;
    return m;
}

// The same message replayed: only its request line differs.
std::string replayed(const Notification &e, std::int32_t subscriberId, std::int64_t deliveryMs) {
    return "POST /replay HTTP/1.1\r\n" + expected(e, subscriberId, deliveryMs).substr(22);
}

// Ids of every width, plain messages between events, replayed events, and a
// socket that takes a few bytes at a time: cuts land inside every piece of a
// message.
TEST(DaemonOutQueue, EveryByteGoesOutInOrderHoweverTheSocketTakesThem) {
    auto account = std::make_shared<MemoryAccount>();
    Pair sockets;
    ASSERT_GE(sockets.in, 0);
    int small = 1;  // the kernel rounds it up to its least
    ::setsockopt(sockets.out, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    Notification big = event("T/BIG", std::string(20000, 'b'));
    Notification little = event("T/LITTLE", "x");
    std::string want;
    OutQueue q;
    {
        RenderedEvent bigOut(big, "inst", account), littleOut(little, "inst", account);
        q.push(bigOut.bytes(), 7);
        q.push("POST /status HTTP/1.1\r\n\r\n");
        q.push(littleOut.bytes(), INT32_MIN);
        q.push(bigOut.bytes(), 123456);
        q.push(bigOut.bytes(), 55, true);
        q.push(littleOut.bytes(), 56, true);
        q.push(littleOut.bytes(), 0);
        want = expected(big, 7, 42) + "POST /status HTTP/1.1\r\n\r\n" + expected(little, INT32_MIN, 42) +
               expected(big, 123456, 42) + replayed(big, 55, 42) + replayed(little, 56, 42) +
               expected(little, 0, 42);
    }
    EXPECT_EQ(q.pending(), want.size());
    EXPECT_EQ(q.messages(), 7u);
    EXPECT_EQ(q.newest_bytes(), expected(little, 0, 42).size());
    EXPECT_GT(account->held(), 20000u);  // the two events' shared bytes, each once

    std::string got;
    std::size_t sentTotal = 0;
    for (int turns = 0; !q.empty() && turns < 100000; ++turns) {
        ssize_t sent = q.send_to(sockets.out, 42);
        ASSERT_GE(sent, 0);
        sentTotal += static_cast<std::size_t>(sent);
        EXPECT_EQ(q.pending(), want.size() - sentTotal);
        got += sockets.read_some(997);
    }
    for (std::string more = sockets.read_some(65536); !more.empty(); more = sockets.read_some(65536))
        got += more;
    EXPECT_EQ(got, want);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.own_bytes(), 0u);
    EXPECT_EQ(account->held(), 0u);  // the last recipient let the shared bytes go
}

// The delivery time says when the message started going out, not when a
// send first tried it while the socket was full.
TEST(DaemonOutQueue, AMessageWaitingForTheSocketIsStampedWhenItGoes) {
    Pair sockets;
    ASSERT_GE(sockets.in, 0);
    Notification e = event("T/X", "body");
    RenderedEvent rendered(e, "inst");
    OutQueue q;
    q.push(std::string(4 << 20, 'p'));  // more than the socket holds
    q.push(rendered.bytes(), 5);
    ASSERT_GE(q.send_to(sockets.out, 1000), 0);
    ASSERT_FALSE(q.empty());
    std::string got;
    for (int turns = 0; !q.empty() && turns < 100000; ++turns) {
        got += sockets.read_some(1 << 20);
        ASSERT_GE(q.send_to(sockets.out, 2000 + turns), 0);
    }
    for (std::string more = sockets.read_some(1 << 20); !more.empty(); more = sockets.read_some(1 << 20))
        got += more;
    ASSERT_GT(got.size(), 4u << 20);
    std::string message = got.substr(4 << 20);
    std::size_t at = message.find("deliveryTime: ");
    ASSERT_NE(at, std::string::npos);
    std::int64_t stamped = std::stoll(message.substr(at + 14, RenderedEvent::kDeliveryDigits));
    EXPECT_GE(stamped, 2000);
    EXPECT_EQ(message, expected(e, 5, stamped));
}

}  // namespace
}  // namespace vavevard
