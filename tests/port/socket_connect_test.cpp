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

TEST(SocketConnect, ConnectsABlockingSocketThatCarriesDataOrReportsARefusal) {
    Client listener;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto *raw = reinterpret_cast<sockaddr *>(&address);
    ASSERT_EQ(::bind(listener.fd, raw, length), 0);
    ASSERT_EQ(::getsockname(listener.fd, raw, &length), 0);
    // Bound but not listening: the kernel refuses at once.
    Client refused;
    EXPECT_EQ(lumo_socket_connect(refused.fd, raw, length), ECONNREFUSED);
    ASSERT_EQ(::listen(listener.fd, 4), 0);
    Client client;
    ASSERT_EQ(lumo_socket_connect(client.fd, raw, length), 0);
    EXPECT_EQ(::fcntl(client.fd, F_GETFL) & O_NONBLOCK, 0);
    int server = ::accept(listener.fd, nullptr, nullptr);
    ASSERT_GE(server, 0);
    ASSERT_EQ(::send(server, "x", 1, 0), 1);
    char byte = 0;
    EXPECT_EQ(::recv(client.fd, &byte, 1, 0), 1);  // a blocking read waits for it
    EXPECT_EQ(byte, 'x');
    ::close(server);
}

// A blocking connect would not notice a shutdown made before it and wait the
// system's two minutes out.
TEST(SocketConnect, AShutdownBeforeOrDuringTheCallEndsIt) {
    FullListener listener;
    ASSERT_TRUE(listener.filled());
    Client client;
    bool seen = false;
    std::thread stopper([&] {
        // Only once the connect is really waiting for an answer.
        seen = test::wait_until([&] { return test::connecting_to(listener.port()); });
        ::shutdown(client.fd, SHUT_RDWR);
    });
    Stopwatch during;
    EXPECT_NE(lumo_socket_connect(client.fd, listener.address(), listener.length()), 0);
    stopper.join();
    EXPECT_TRUE(seen);
    EXPECT_LT(during.ms(), kLateMs);

    Client early;
    ::shutdown(early.fd, SHUT_RDWR);
    Stopwatch watch;
    EXPECT_NE(lumo_socket_connect(early.fd, listener.address(), listener.length()), 0);
    EXPECT_LT(watch.ms(), kLateMs);
}

}  // namespace
}  // namespace vavevar
