// The fake daemon's own faults that the library's tests could not notice:
// those tests assert absences ("no second subscribe", "no event before the
// handshake") that a parser losing or merging requests would make pass, and
// they rely on stop_reading() and drop() to create the stalls and losses they
// then check the library against.
#include "support/fake_daemon.h"
#include "support/threading.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace vavevar::test {
namespace {

TEST(RequestParser, SplitsRequestsFedOneByteAtATime) {
    // The form-factor file's own line end comes before the library's.
    const std::string connect =
        "POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: desktop\r\n\r\nSelfId: Pid=42\r\n\r\n";
    // A property called Content-Length comes before the real header.
    const std::string event =
        "POST /event HTTP/1.1\r\nnumberOfProperties: 1\r\nContent-Length: 99\r\n"
        "Content-Length: 5\r\nAddrList-Length: 3\r\n\r\nhelloa;b";
    const std::string unsubscribe = "POST /unsubscribe HTTP/1.1\nno colon\nSubscriberID:3\n\n";
    const std::string stream = connect + event + unsubscribe;

    RequestParser parser;
    std::vector<Request> requests;
    std::vector<std::size_t> completed_at;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        parser.feed(stream.substr(i, 1));
        while (auto request = parser.next()) {
            requests.push_back(std::move(*request));
            completed_at.push_back(i + 1);
        }
    }
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(completed_at, (std::vector<std::size_t>{connect.size(), connect.size() + event.size(),
                                                      stream.size()}));

    EXPECT_EQ(requests[0].kind, Request::Kind::connect);
    EXPECT_EQ(requests[0].headers, (std::vector<Header>{{"Version", "4 "},
                                                        {"FormFactor", "desktop\r\n"},
                                                        {"SelfId", "Pid=42"}}));
    EXPECT_EQ(requests[1].kind, Request::Kind::event);
    EXPECT_EQ(requests[1].body, "hello");
    EXPECT_EQ(requests[1].address_list, "a;b");
    EXPECT_EQ(requests[1].raw, event);
    EXPECT_EQ(requests[2].kind, Request::Kind::unsubscribe);
    EXPECT_EQ(requests[2].headers, (std::vector<Header>{{"no colon", ""}, {"SubscriberID", "3"}}));
}

// The library's side of the connection, played by hand over IPv4.
class RawClient {
public:
    explicit RawClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << errno;
    }
    ~RawClient() { ::close(fd_); }

    int fd() const { return fd_; }
    // What arrives before the end of the stream, up to `count` bytes; an
    // empty result with `count` 1 means the daemon closed the connection.
    std::string read(std::size_t count) {
        std::string out;
        pollfd p{fd_, POLLIN, 0};
        char buffer[4096];
        while (out.size() < count && ::poll(&p, 1, 5000) == 1) {
            ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), 0);
            if (n <= 0) return out;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out.size() == count ? out : out + "<time-out>";
    }
    void handshake() {
        const std::string connect = "POST /connect HTTP/1.1\r\nFormFactor: x\r\nSelfId: Pid=1\r\n\r\n";
        ASSERT_EQ(::send(fd_, connect.data(), connect.size(), 0), static_cast<ssize_t>(connect.size()));
        ASSERT_EQ(read(handshake_reply().size()), handshake_reply());
    }

private:
    int fd_;
};

TEST(FakeDaemon, StoppedReadingTakesNoByteUntilResumed) {
    FakeDaemon daemon;
    RawClient client(daemon.port());
    int small = 4096;
    ASSERT_EQ(::setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    client.handshake();

    daemon.stop_reading();
    const std::size_t before = daemon.received().size();
    // Sends until the kernel refuses more: nobody drains the connection. The
    // bound only keeps a broken fixture from looping for ever.
    const std::string chunk(16384, 'x');
    std::size_t sent = 0;
    ssize_t n;
    errno = 0;
    while (sent < (256u << 20) &&
           (n = ::send(client.fd(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL)) > 0)
        sent += static_cast<std::size_t>(n);
    ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << "sent " << sent;
    EXPECT_EQ(daemon.received().size(), before);

    daemon.resume_reading();
    EXPECT_TRUE(wait_until([&] { return daemon.received().size() == before + sent; }));
}

TEST(FakeDaemon, DropWritesWhatWasQueuedThenClosesAndTheNextClientIsServed) {
    FakeDaemon daemon;
    {
        RawClient client(daemon.port());
        client.handshake();
        ASSERT_TRUE(daemon.send("last words"));
        ASSERT_TRUE(daemon.drop());
        EXPECT_EQ(client.read(10), "last words");
        EXPECT_EQ(client.read(1), "");
        EXPECT_FALSE(daemon.send("nobody"));
    }
    RawClient again(daemon.port());
    again.handshake();
    ASSERT_TRUE(daemon.wait_for_requests(2));
    EXPECT_EQ(daemon.requests()[1].connection, 1u);
}

}  // namespace
}  // namespace vavevar::test
