// The receiver's side of the daemon link: handshake bytes, reply rules,
// pauses and back-off, and what it does with the daemon's messages.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "runtime/link.h"
#include "support/runtime_fixture.h"
#include "support/threading.h"

namespace vavevar::test {
namespace {

class Link : public RuntimeTest {};

std::string expected_connect(const std::string &form_factor, const std::string &home) {
    return "POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: " + form_factor +
           "\r\nSelfId: Pid=" + std::to_string(::getpid()) + "; Home=" + home + "\r\n\r\n";
}

TEST_F(Link, HandshakeRequestIsByteExactWithTheFormFactorSentVerbatim) {
    start_connected();
    ::lumo_shutdown();
    home.write_form_factor("desktop\r\n");
    start_connected();
    auto connects = daemon.requests(Request::Kind::connect);
    ASSERT_EQ(connects.size(), 2u);
    EXPECT_EQ(connects[0].raw, expected_connect("abc", home.path()));  // no file: the default
    EXPECT_EQ(connects[1].raw, expected_connect("desktop\r\n", home.path()));
}

TEST_F(Link, RefusedHandshakesAreRetriedAtOnceThenAfterOneSecond) {
    daemon.queue_handshake_reply(handshake_reply("x", "failure"));
    daemon.queue_handshake_reply(handshake_reply("x", "Success"));  // compared whole
    ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
    ASSERT_TRUE(daemon.wait_for_connections(1));
    Stopwatch since_first;
    ASSERT_TRUE(daemon.wait_for_connections(2));
    std::int64_t second = since_first.ms();
    ASSERT_TRUE(daemon.wait_for_connections(3));
    std::int64_t third = since_first.ms();
    EXPECT_LT(second, kPromptMs);    // back-off 0 after the first refusal
    EXPECT_GE(third - second, 900);  // then 1 s
    EXPECT_TRUE(wait_link_up());
    EXPECT_EQ(daemon.connections(), 3u);
}

TEST_F(Link, ConnectionAttemptsPauseOneSecond) {
    // A socket bound but not listening refuses connections until it listens.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);

    // Timed from the return: the start itself may wait for another process
    // holding the machine-wide mutex. The first attempt follows at once.
    ASSERT_EQ(::lumo_init_with_port(ntohs(address.sin_port)), 0);
    Stopwatch watch;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(::listen(fd, 4), 0);
    int client = ::accept(fd, nullptr, nullptr);
    std::int64_t waited = watch.ms();
    EXPECT_GE(waited, 900);  // the first attempt failed, the next came a second later
    EXPECT_LT(waited, 1000 + kLateMs);
    ::close(client);
    ::close(fd);
}

TEST_F(Link, OnlyUnknownMessageLinesAreReported) {
    start_connected();
    testing::internal::CaptureStderr();
    daemon.send("POST /bogus HTTP/1.1\r\nshort\r\n");
    InboundEvent event;  // for subscribers this process does not have: dropped quietly
    event.subscriber_ids = "7";
    daemon.send(event.bytes());
    event.subscriber_ids = "1;2";
    daemon.send(event.bytes());
    daemon.send(StatusMessage{}.bytes());
    // A status without an identifier drops the link: when the second
    // connection comes, every message before it has been dealt with.
    StatusMessage without_id;
    without_id.subscriber_id = std::nullopt;
    daemon.send(without_id.bytes());
    bool reconnected = daemon.wait_for_connections(2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(reconnected);
    EXPECT_EQ(err,
              "UNKNOWN MESSAGE LINE RECEIVED ==> POST /bogus HTTP/1.1\n"
              "UNKNOWN MESSAGE LINE RECEIVED ==> short\n");
}

TEST_F(Link, ABrokenStatusOrEventDropsTheLink) {
    start_connected();
    StatusMessage without_id;
    without_id.subscriber_id = std::nullopt;
    daemon.send(without_id.bytes());
    EXPECT_TRUE(daemon.wait_for_connections(2));
    EXPECT_TRUE(wait_link_up());

    daemon.send("POST /event HTTP/1.1\r\nclassName: MessageNotification\r\nSubscriberID: \r\n");
    EXPECT_TRUE(daemon.wait_for_connections(3));
    EXPECT_TRUE(wait_link_up());
}

TEST_F(Link, AConnectionLostInsideABodyIsReportedAsAShortRead) {
    start_connected();
    InboundEvent event;
    event.body = "0123456789";
    const std::string bytes = event.bytes();
    testing::internal::CaptureStderr();
    daemon.send(bytes.substr(0, bytes.size() - 6));
    ASSERT_TRUE(daemon.drop());
    bool reconnected = daemon.wait_for_connections(2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(reconnected);
    EXPECT_EQ(err, "READ LESS THAN THE FULL BUFFER, ret=0, len=6\n");
}

TEST_F(Link, WaitForAnUnansweredHandshakeTimesOut) {
    daemon.set_handshake_reply(std::nullopt);
    ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 1));
    Stopwatch watch;
    EXPECT_EQ(lumo_link_wait(300), -1);
    EXPECT_GE(watch.ms(), 250);
    EXPECT_LT(watch.ms(), 300 + kLateMs);
    EXPECT_FALSE(lumo_link_is_up());
}

TEST_F(Link, AStopDuringAnUnansweredHandshakeIsPrompt) {
    daemon.set_handshake_reply(std::nullopt);
    ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 1));
    EXPECT_FALSE(lumo_link_is_up());
    Stopwatch watch;
    ::lumo_shutdown();
    EXPECT_LT(watch.ms(), kLateMs);
}

}  // namespace
}  // namespace vavevar::test
