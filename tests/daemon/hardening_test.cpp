// What a hostile but fair local client can make the daemon hold or wait
// for: a connection that never completes its handshake, a request sent before
// it, answers asked for and never read, one process taking every slot, and
// all clients together pushing the daemon past its memory bound. Each costs
// the daemon a bounded amount, and the well-behaved clients go on.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "daemon_harness.h"

namespace vavevard {
namespace {

using test::DaemonThread;
using test::Message;
using test::outbound_event;
using test::RawClient;

std::size_t number(const std::string &text) { return std::stoull("0" + text); }

// Sends `request` over and over without reading, until the daemon has taken
// nothing for a while; returns the bytes it took.
std::size_t flood_without_reading(RawClient &c, const std::string &request) {
    std::string batch;
    while (batch.size() < 64 * 1024) batch += request;
    std::size_t sent = 0;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < give_up) {
        ssize_t n = ::send(c.fd(), batch.data(), batch.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{c.fd(), POLLOUT, 0};
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        if (::poll(&p, 1, 300) == 0) break;  // the daemon stopped taking
    }
    return sent;
}

// Without its handshake a connection is closed when its time is up; after
// it, only a client idle longer than the idle time is.
TEST(DaemonHardening, ConnectionsAreClosedWhenTheirTimeIsUp) {
    Limits limits;
    limits.handshakeTimeoutMs = 300;
    limits.idleTimeoutMs = 2500;  // sweeps come once a second: well apart
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3600);
    RawClient silent(daemon.port()), partial(daemon.port()), idle(daemon.port()), busy(daemon.port());
    ASSERT_TRUE(partial.send("POST /connect HTTP/1.1\r\nVersion: 4 \r\n"));
    ASSERT_TRUE(idle.handshake() && busy.handshake());
    EXPECT_TRUE(silent.closed_by_daemon());
    EXPECT_TRUE(partial.closed_by_daemon());
    EXPECT_EQ(busy.stat("timeoutDisconnects") + " " + busy.stat("connections"), "2 2");
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_NE(busy.stat("clients"), "<no answer>");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(idle.closed_by_daemon());
    EXPECT_EQ(busy.stat("timeoutDisconnects"), "3");
}

// An event is refused at its request line, before its body is kept; a
// connect request may not grow beyond the handshake's bound.
TEST(DaemonHardening, BeforeTheHandshakeOnlyASmallConnectOrStatsIsRead) {
    DaemonThread daemon;
    ASSERT_TRUE(daemon.ok());
    RawClient early(daemon.port()), large(daemon.port()), watcher(daemon.port());
    early.send("POST /event HTTP/1.1\r\nclassName: MessageNotification\r\nContent-Length: 16000000\r\n\r\n" +
               std::string(256 * 1024, 'x'));
    EXPECT_TRUE(early.closed_by_daemon());
    std::string formFactor;
    for (int i = 0; i < 200; ++i) formFactor += std::string(1000, 'f') + "\r\n";
    large.send("POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: " + formFactor);
    EXPECT_TRUE(large.closed_by_daemon());
    EXPECT_EQ(watcher.stat("malformedDisconnects"), "2");
    EXPECT_LT(number(watcher.stat("heldBytes")), 256u * 1024);
}

// Without the pause, every answer would wait in the daemon: about thirty
// times what was asked. With it, each client holds at most the answers to
// one read's worth of requests (64 KiB of 24-byte requests: some 2,700
// answers of under a kilobyte each) beyond what its sockets took.
TEST(DaemonHardening, AClientThatAsksWithoutReadingIsHeldBackNotBuffered) {
    Limits limits;
    limits.readPauseBytes = 256 * 1024;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    RawClient before(daemon.port()), after(daemon.port()), watcher(daemon.port());
    ASSERT_TRUE(after.handshake());
    std::size_t asked = flood_without_reading(before, "POST /stats HTTP/1.1\r\n\r\n") +
                        flood_without_reading(after, "POST /stats HTTP/1.1\r\n\r\n");
    EXPECT_GT(asked, 100u * 1024);
    std::size_t held = number(watcher.stat("heldBytes"));
    EXPECT_LT(held, 6u * 1024 * 1024) << "after " << asked << " bytes of requests";
    Message m;
    ASSERT_TRUE(after.read_message(m));  // still served once it reads
    EXPECT_EQ(m.get("Result"), "success");
}

TEST(DaemonHardening, OneProcessCannotTakeEverySlot) {
    Limits limits;
    limits.maxConnectionsPerProcess = 2;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    RawClient a(daemon.port()), b(daemon.port()), c(daemon.port()), other(daemon.port());
    Message reply;
    ASSERT_TRUE(a.handshake(reply, "Pid=4242; Home=/h") && reply.get("Result") == "success");
    ASSERT_TRUE(b.handshake(reply, "Pid=4242; Home=/h") && reply.get("Result") == "success");
    ASSERT_TRUE(c.handshake(reply, "Pid=4242; Home=/h"));
    EXPECT_EQ(reply.get("Result"), "failure");
    EXPECT_EQ(reply.get("Message"), "too many connections from process 4242 (limit 2)");
    EXPECT_TRUE(c.closed_by_daemon());
    ASSERT_TRUE(other.handshake(reply, "Pid=4343; Home=/h"));
    EXPECT_EQ(reply.get("Result"), "success");
    a.close();
    EXPECT_TRUE(test::accepted_soon(daemon.port(), "Pid=4242; Home=/h"));
    EXPECT_EQ(other.stat("connectionsRefused"), "1");
}

// The bound that the kernel vouches for: whatever a client claims, its user
// holds no more than its share of the connections, handshake done or not.
TEST(DaemonHardening, OneUserCannotHoldMoreThanItsShare) {
    Limits limits;
    limits.maxConnectionsPerUser = 3;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    RawClient a(daemon.port()), b(daemon.port()), c(daemon.port()), d(daemon.port());
    ASSERT_TRUE(a.handshake());
    Message reply;
    EXPECT_TRUE(b.handshake(reply, "Pid=1; Home=/h") && reply.get("Result") == "success");
    EXPECT_TRUE(d.closed_by_daemon()) << "the fourth connection of one user";
    EXPECT_EQ(a.stat("connectionsRefused"), "1");
    c.close();
    EXPECT_TRUE(test::accepted_soon(daemon.port()));
}

// Routing tests only the filters that can match an event's type, by its
// start or its end: ten thousand subscriptions to other types cost another
// client's events nothing. What a filter keeps is accounted in full.
TEST(DaemonHardening, SubscriptionsThatCannotMatchCostAnEventNothingAndFiltersAreAccounted) {
    DaemonThread daemon;
    ASSERT_TRUE(daemon.ok());
    RawClient hog(daemon.port()), sub(daemon.port()), pub(daemon.port());
    ASSERT_TRUE(hog.handshake() && sub.handshake() && pub.handshake());
    const char *shapes[] = {"OTHER/%d/*", "OTHER/%d and prop.x = 1", "(OTHER/%d/a or ELSE/%d) and not x",
                            "type = 'OTHER/%d?'", "*/OTHER/%d"};
    std::string batch;
    constexpr int kHeld = 10000;
    for (int i = 1; i <= kHeld; ++i) {
        char filter[96];
        std::snprintf(filter, sizeof filter, shapes[i % 5], i, i);
        batch += RawClient::subscribe_request(i, filter);
    }
    ASSERT_TRUE(hog.send(batch));
    Message m;
    for (int i = 1; i <= kHeld; ++i) ASSERT_TRUE(hog.read_message(m) && m.get("Result") == "success") << i;
    ASSERT_TRUE(sub.subscribe(1, "PROBE/*"));
    std::size_t before = number(pub.stat("filterTests"));
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(pub.send(outbound_event("PROBE/" + std::to_string(i)).bytes()));
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(sub.read_message(m));
    EXPECT_EQ(number(pub.stat("filterTests")) - before, 100u);
    // An event that some of them do want is tested against those alone.
    ASSERT_TRUE(pub.send(outbound_event("OTHER/10/x").bytes()));
    ASSERT_TRUE(hog.read_message(m));
    EXPECT_EQ(m.get("SubscriberID"), "10");
    EXPECT_LT(number(pub.stat("filterTests")) - before, 100u + 10);

    // A compiled pattern's search tables can hold many times its text: the
    // daemon's account sees what a filter really keeps.
    std::string pattern = "'*";
    for (int i = 0; pattern.size() < 60000; ++i) {
        unsigned char b = static_cast<unsigned char>(0x20 + i % 200);
        pattern += b == '\'' || b == '\\' ? 'x' : static_cast<char>(b);
        if (i % 3 == 0) pattern += '?';
    }
    pattern += "*'";
    before = number(pub.stat("heldBytes"));
    ASSERT_TRUE(pub.subscribe(1, pattern));
    EXPECT_GT(number(pub.stat("heldBytes")) - before, 10 * pattern.size()) << pattern.size() << " bytes of filter";
}

// A subscriber that does not read, under a daemon-wide bound well below its
// own output bound: first new work is refused, then it is dropped, and the
// daemon takes new work again.
TEST(DaemonHardening, OverTheDaemonWideBoundNewWorkIsRefusedUntilTheLargestHolderIsDropped) {
    Limits limits;
    limits.maxTotalBytes = 4 * 1024 * 1024;
    DaemonThread daemon(limits);
    ASSERT_TRUE(daemon.ok());
    RawClient slow(daemon.port()), pub(daemon.port()), watcher(daemon.port());
    ASSERT_TRUE(slow.handshake() && pub.handshake() && watcher.handshake());
    int small = 4096;
    ::setsockopt(slow.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(slow.subscribe(1, "BULK"));
    auto e = outbound_event("BULK");
    e.body = std::string(16 * 1024, 'x');
    const std::size_t highWater = limits.maxTotalBytes / 8 * 7;
    std::string refusedSubscribe, refusedConnect;
    for (int i = 0; i < 2000 && watcher.stat("memoryDisconnects") == "0"; ++i) {
        ASSERT_TRUE(pub.send(e.bytes()));
        if (refusedSubscribe.empty() && number(watcher.stat("heldBytes")) > highWater) {
            Message m;
            ASSERT_TRUE(watcher.subscribe(7, "ANY", m));
            refusedSubscribe = m.get("Message");
            RawClient late(daemon.port());
            ASSERT_TRUE(late.handshake(m));
            refusedConnect = m.get("Message");
        }
    }
    EXPECT_EQ(refusedSubscribe, "the daemon is near its memory limit of 4 MiB");
    EXPECT_EQ(refusedConnect, "the daemon is near its memory limit of 4 MiB");
    EXPECT_EQ(watcher.stat("memoryDisconnects"), "1");
    EXPECT_TRUE(slow.closed_by_daemon());
    EXPECT_LT(number(watcher.stat("heldBytes")), highWater);
    EXPECT_TRUE(watcher.subscribe(8, "ANY"));
    EXPECT_EQ(watcher.stat("clients"), "2");
}

}  // namespace
}  // namespace vavevard
