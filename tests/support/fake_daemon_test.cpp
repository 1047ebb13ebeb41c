// The fake daemon's own faults that the library's tests could not notice:
// those tests assert absences ("no second subscribe", "no event before the
// handshake") that a parser losing or merging requests would make pass, and
// they rely on stop_reading() and drop() to create the stalls and losses they
// then check the library against.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "support/fake_daemon.h"
#include "support/threading.h"
#include "support/wire_client.h"

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

// The connect request is answered with the scripted reply, byte for byte.
void handshake(RawClient &client) {
    Request reply;
    ASSERT_TRUE(client.handshake(reply));
    EXPECT_EQ(reply.raw, handshake_reply());
}

TEST(FakeDaemon, StoppedReadingTakesNoByteUntilResumed) {
    FakeDaemon daemon;
    RawClient client(daemon.port());
    int small = 4096;
    ASSERT_EQ(::setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    handshake(client);

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
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // time for a wrong read
    EXPECT_EQ(daemon.received().size(), before);

    daemon.resume_reading();
    EXPECT_TRUE(wait_until([&] { return daemon.received().size() == before + sent; }));
}

TEST(FakeDaemon, DropWritesWhatWasQueuedThenClosesAndTheNextClientIsServed) {
    FakeDaemon daemon;
    {
        RawClient client(daemon.port());
        handshake(client);
        ASSERT_TRUE(daemon.send(StatusMessage{}.bytes()));
        ASSERT_TRUE(daemon.drop());
        Request last;
        ASSERT_TRUE(client.read_message(last));
        EXPECT_EQ(last.raw, StatusMessage{}.bytes());
        EXPECT_TRUE(client.closed_by_daemon());
        EXPECT_FALSE(daemon.send("nobody"));
    }
    RawClient again(daemon.port());
    handshake(again);
    ASSERT_TRUE(daemon.wait_for_requests(2));
    EXPECT_EQ(daemon.requests()[1].connection, 1u);
}

}  // namespace
}  // namespace vavevar::test
