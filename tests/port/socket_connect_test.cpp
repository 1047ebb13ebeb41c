// A connect that a shutdown from another thread ends: it behaves as a
// blocking connect, except that it never outlasts the shutdown of its socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "port/socket_connect.h"
#include "support/tcp_state.h"
#include "support/threading.h"

namespace vavevar {
namespace {

using test::FullListener;
using test::kLateMs;
using test::Stopwatch;

// A client socket closed with the test.
struct Client {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ~Client() { ::close(fd); }
};

TEST(SocketConnect, ConnectLeavesABlockingSocketThatCarriesData) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    Client client;
    ASSERT_EQ(lumo_socket_connect(client.fd, reinterpret_cast<sockaddr *>(&address), length), 0);
    EXPECT_EQ(::fcntl(client.fd, F_GETFL) & O_NONBLOCK, 0);
    int server = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    ASSERT_EQ(::send(server, "x", 1, 0), 1);
    char byte = 0;
    EXPECT_EQ(::recv(client.fd, &byte, 1, 0), 1);  // a blocking read waits for it
    EXPECT_EQ(byte, 'x');
    ::close(server);
    ::close(listener);
}

TEST(SocketConnect, ARefusedConnectionReportsWhy) {
    // Bound but not listening: the kernel refuses at once.
    Client bound;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(bound.fd, reinterpret_cast<sockaddr *>(&address), length), 0);
    ASSERT_EQ(::getsockname(bound.fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
    Client client;
    EXPECT_EQ(lumo_socket_connect(client.fd, reinterpret_cast<sockaddr *>(&address), length),
              ECONNREFUSED);
}

TEST(SocketConnect, AShutdownFromAnotherThreadEndsAConnectUnderWay) {
    FullListener listener;
    ASSERT_TRUE(listener.filled());
    Client client;
    bool seen = false;
    std::thread stopper([&] {
        // Only once the connect is really waiting for an answer.
        seen = test::wait_until([&] { return test::connecting_to(listener.port()); });
        ::shutdown(client.fd, SHUT_RDWR);
    });
    Stopwatch watch;
    EXPECT_NE(lumo_socket_connect(client.fd, listener.address(), listener.length()), 0);
    stopper.join();
    EXPECT_TRUE(seen);
    EXPECT_LT(watch.ms(), kLateMs);  // not the system's two minutes
}

TEST(SocketConnect, AShutdownBeforeTheCallMakesItFailAtOnce) {
    // A blocking connect would not notice it and wait the two minutes out.
    FullListener listener;
    ASSERT_TRUE(listener.filled());
    Client client;
    ::shutdown(client.fd, SHUT_RDWR);
    Stopwatch watch;
    EXPECT_NE(lumo_socket_connect(client.fd, listener.address(), listener.length()), 0);
    EXPECT_LT(watch.ms(), kLateMs);
}

}  // namespace
}  // namespace vavevar
