#include "support/fake_daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>

namespace vavevar::test {
namespace {

using namespace std::chrono_literals;
using Kind = Request::Kind;

constexpr auto kWait = 5000ms;

const std::string kConnect =
    "POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: abc\r\nSelfId: Pid=42; Home=/h\r\n\r\n";
const std::string kSubscribe7 =
    "POST /subscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 7\r\nSubscription: null\r\n"
    "Component: c\r\nMbrInterest: null\r\nMbrDeltas: false\r\nnumberOfProperties: 0\r\n\r\n";
const std::string kEventWithBody =
    "POST /event HTTP/1.1\r\nclassName: StateGetNotification\r\nSubscriberID: 7\r\n"
    "eventType: t\r\neventId: e\r\nContent-Length: 4\r\nAddrList-Length: 0\r\n\r\nbody";
const std::string kUnsubscribe7 =
    "POST /unsubscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 7\r\n\r\n";

// The library's side of the connection, played by hand. Every read has a
// time-out, so a fixture that fails to answer fails the test instead of
// hanging it.
class RawClient {
public:
    explicit RawClient(std::uint16_t port, int family = AF_INET) {
        fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_NE(fd_, -1);
        int rc;
        if (family == AF_INET6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(port);
            a.sin6_addr = in6addr_loopback;
            rc = ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            rc = ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        }
        EXPECT_EQ(rc, 0) << "connect: errno " << errno;
    }
    ~RawClient() {
        if (fd_ != -1) ::close(fd_);
    }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    int fd() const { return fd_; }

    void send_all(const std::string &bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << "send: errno " << errno;
            done += static_cast<std::size_t>(n);
        }
    }
    // Writes one byte per send call, the most fragmented a stream can be.
    void send_bytewise(const std::string &bytes) {
        for (char c : bytes) send_all(std::string(1, c));
    }

    // Exactly `count` bytes, or what arrived before the time-out or the end.
    std::string read(std::size_t count, std::chrono::milliseconds timeout = kWait) {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count) {
            if (!readable_before(deadline)) break;
            char buffer[4096];
            ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), 0);
            if (n <= 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }
    // True when the daemon has closed the connection: the end of the stream
    // (or a reset) comes before the time-out, with no byte before it.
    bool closed_by_peer(std::chrono::milliseconds timeout = kWait) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        if (!readable_before(deadline)) return false;
        char c;
        return ::recv(fd_, &c, 1, 0) <= 0;
    }
    // Whether a byte is waiting right now.
    bool has_data() {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }

private:
    bool readable_before(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) == 1;
    }

    int fd_ = -1;
};

// Connects and completes the default handshake.
void handshake(RawClient &client) {
    client.send_all(kConnect);
    const std::string reply = handshake_reply();
    ASSERT_EQ(client.read(reply.size()), reply);
}

TEST(FakeDaemon, ServesLoopbackOverIpv4AndIpv6OnOnePort) {
    FakeDaemon daemon;
    ASSERT_NE(daemon.port(), 0);
    {
        RawClient v4(daemon.port(), AF_INET);
        handshake(v4);
    }
    ASSERT_TRUE(daemon.wait_for_disconnections(1));
    if (!daemon.listens_on_ipv6()) GTEST_SKIP() << "no ::1 on this machine";
    RawClient v6(daemon.port(), AF_INET6);
    handshake(v6);
    EXPECT_EQ(daemon.connections(), 2u);
    auto requests = daemon.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].connection, 1u);
}

TEST(FakeDaemon, RepliesOnlyOnceTheConnectRequestIsComplete) {
    FakeDaemon daemon;
    RawClient client(daemon.port());
    client.send_bytewise(kConnect.substr(0, kConnect.size() - 1));
    ASSERT_TRUE(daemon.wait_for_bytes(kConnect.size() - 1));
    // The daemon has taken in every byte so far; a reply would be here.
    EXPECT_FALSE(client.has_data());
    EXPECT_TRUE(daemon.requests().empty());

    client.send_all(kConnect.substr(kConnect.size() - 1));
    EXPECT_EQ(client.read(handshake_reply().size()), handshake_reply());
    auto requests = daemon.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, Kind::connect);
    EXPECT_EQ(requests[0].header("FormFactor"), "abc");
    EXPECT_EQ(requests[0].header("SelfId"), "Pid=42; Home=/h");
    EXPECT_EQ(daemon.received(), kConnect);
}

TEST(FakeDaemon, RecordsRequestsSentOneByteAtATime) {
    FakeDaemon daemon;
    RawClient client(daemon.port());
    handshake(client);
    client.send_bytewise(kSubscribe7 + kEventWithBody + kUnsubscribe7);
    ASSERT_TRUE(daemon.wait_for_requests(4));
    auto requests = daemon.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].kind, Kind::subscribe);
    EXPECT_EQ(requests[1].raw, kSubscribe7);
    EXPECT_EQ(requests[2].kind, Kind::event);
    EXPECT_EQ(requests[2].body, "body");
    EXPECT_EQ(requests[2].header("className"), "StateGetNotification");
    EXPECT_EQ(requests[3].kind, Kind::unsubscribe);
    EXPECT_EQ(daemon.requests(Kind::subscribe).size(), 1u);
    EXPECT_EQ(daemon.received(), kConnect + kSubscribe7 + kEventWithBody + kUnsubscribe7);
}

TEST(FakeDaemon, FollowsTheHandshakeScriptConnectionByConnection) {
    FakeDaemon daemon;
    daemon.set_handshake_reply(handshake_reply("alpha"));
    daemon.queue_handshake_reply(handshake_reply("alpha", "failure"));
    daemon.queue_handshake_reply(std::nullopt);
    daemon.queue_handshake_reply(reply_lines({"short"}));

    {
        RawClient refused(daemon.port());
        refused.send_all(kConnect);
        EXPECT_EQ(refused.read(handshake_reply("alpha", "failure").size()),
                  handshake_reply("alpha", "failure"));
    }
    {
        RawClient unanswered(daemon.port());
        unanswered.send_all(kConnect + kUnsubscribe7);
        // Both requests are in; an answer to the first would have come first.
        ASSERT_TRUE(daemon.wait_for_requests(3));
        EXPECT_FALSE(unanswered.has_data());
    }
    {
        RawClient short_reply(daemon.port());
        short_reply.send_all(kConnect);
        EXPECT_EQ(short_reply.read(reply_lines({"short"}).size()), "short\r\n\r\n");
    }
    RawClient accepted(daemon.port());
    accepted.send_all(kConnect);
    EXPECT_EQ(accepted.read(handshake_reply("alpha").size()), handshake_reply("alpha"));
    ASSERT_TRUE(daemon.wait_for_requests(Kind::connect, 4));
    EXPECT_EQ(daemon.requests().back().connection, 3u);
}

TEST(FakeDaemon, ServesOneClientAtATime) {
    FakeDaemon daemon;
    RawClient first(daemon.port());
    handshake(first);
    RawClient second(daemon.port());  // completes in the backlog
    second.send_all(kConnect);
    first.send_all(kUnsubscribe7);
    ASSERT_TRUE(daemon.wait_for_requests(2));
    // The daemon has read the first client's later request but not the
    // second client's earlier one.
    EXPECT_EQ(daemon.connections(), 1u);
    EXPECT_EQ(daemon.requests().back().kind, Kind::unsubscribe);

    ASSERT_TRUE(daemon.drop());
    EXPECT_TRUE(first.closed_by_peer());
    EXPECT_EQ(second.read(handshake_reply().size()), handshake_reply());
    EXPECT_EQ(daemon.connections(), 2u);
}

TEST(FakeDaemon, DropsRightAfterTheHandshakeAndServesTheReconnection) {
    FakeDaemon daemon;
    daemon.drop_after_requests(1);
    {
        RawClient client(daemon.port());
        handshake(client);
        EXPECT_TRUE(client.closed_by_peer());
    }
    EXPECT_TRUE(daemon.wait_for_disconnections(1));
    EXPECT_FALSE(daemon.client_connected());

    RawClient again(daemon.port());
    handshake(again);
    again.send_all(kUnsubscribe7);
    ASSERT_TRUE(daemon.wait_for_requests(3));
    EXPECT_TRUE(daemon.client_connected());
    EXPECT_EQ(daemon.requests()[2].connection, 1u);
}

TEST(FakeDaemon, DropsAfterTheNthRequest) {
    FakeDaemon daemon;
    RawClient client(daemon.port());
    handshake(client);
    daemon.drop_after_requests(2);
    client.send_all(kSubscribe7);
    ASSERT_TRUE(daemon.wait_for_requests(2));
    EXPECT_TRUE(daemon.client_connected());
    client.send_all(kUnsubscribe7);
    EXPECT_TRUE(client.closed_by_peer());
    EXPECT_EQ(daemon.requests().size(), 3u);
    EXPECT_EQ(daemon.disconnections(), 1u);
}

TEST(FakeDaemon, DropWritesWhatWasQueuedFirst) {
    FakeDaemon daemon;
    EXPECT_FALSE(daemon.drop(100ms));  // nobody to drop
    EXPECT_FALSE(daemon.send("x"));
    RawClient client(daemon.port());
    handshake(client);
    ASSERT_TRUE(daemon.send("last words"));
    ASSERT_TRUE(daemon.drop());
    EXPECT_EQ(client.read(10), "last words");
    EXPECT_TRUE(client.closed_by_peer());
}

TEST(FakeDaemon, SendsBuiltEventsStatusAndGarbage) {
    FakeDaemon daemon;
    RawClient client(daemon.port());
    handshake(client);

    InboundEvent event;
    event.subscriber_ids = "7";
    event.property("zone", "east");
    event.body = "payload";
    StatusMessage status;
    status.subscriber_id = "7";
    const std::string garbage("\x00\xff junk\r\n", 9);
    const std::string all = event.bytes() + status.bytes() + garbage;
    ASSERT_TRUE(daemon.send(event.bytes()));
    ASSERT_TRUE(daemon.send(status.bytes()));
    ASSERT_TRUE(daemon.send(garbage));
    EXPECT_EQ(client.read(all.size()), all);
}

TEST(FakeDaemon, AnswersSubscribesWithTheirSubscriberId) {
    FakeDaemon daemon;
    daemon.answer_subscribes("failure", "no such group");
    RawClient client(daemon.port());
    handshake(client);
    client.send_all(kSubscribe7 + kUnsubscribe7);
    const std::string expected =
        "POST /status HTTP/1.1\r\nResult: failure\r\nSubscriberID: 7\r\nMessage: no such group\r\n"
        "\r\n";
    EXPECT_EQ(client.read(expected.size()), expected);

    daemon.answer_subscribes(std::nullopt);
    client.send_all(kSubscribe7);
    ASSERT_TRUE(daemon.wait_for_requests(Kind::subscribe, 2));
    EXPECT_FALSE(client.has_data());
}

TEST(FakeDaemon, StoppedReadingBlocksTheClientUntilResumed) {
    FakeDaemon::Options options;
    options.receive_buffer = 4096;
    FakeDaemon daemon(options);
    RawClient client(daemon.port());
    int small = 4096;
    ASSERT_EQ(::setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    handshake(client);

    daemon.stop_reading();
    const std::size_t before = daemon.received().size();
    // Non-blocking sends until the kernel refuses more: proof that nobody
    // drains the connection. The bound only guards against a broken fixture.
    const std::string chunk(1024, 'x');
    std::size_t sent = 0;
    bool blocked = false;
    while (sent < (64u << 20)) {
        ssize_t n = ::send(client.fd(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            blocked = errno == EAGAIN || errno == EWOULDBLOCK;
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    ASSERT_TRUE(blocked);
    EXPECT_GT(sent, 0u);
    EXPECT_EQ(daemon.received().size(), before);

    daemon.resume_reading();
    EXPECT_TRUE(daemon.wait_for_bytes(before + sent));
    EXPECT_EQ(daemon.received().size(), before + sent);
}

TEST(FakeDaemon, ShutsDownWithAClientConnectedAndReadingStopped) {
    std::optional<FakeDaemon> daemon(std::in_place);
    RawClient client(daemon->port());
    handshake(client);
    daemon->stop_reading();
    client.send_all(kSubscribe7);
    daemon.reset();
    EXPECT_TRUE(client.closed_by_peer());
}

std::size_t open_descriptors() {
    auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

TEST(FakeDaemon, ReleasesEverySocketItOpened) {
    const std::size_t before = open_descriptors();
    {
        FakeDaemon daemon;
        {
            RawClient first(daemon.port());
            handshake(first);
            ASSERT_TRUE(daemon.drop());
        }
        RawClient second(daemon.port());
        handshake(second);
        second.send_all(kSubscribe7);
        ASSERT_TRUE(daemon.wait_for_requests(3));
    }
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace vavevar::test
