#include "support/fake_daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <system_error>
#include <utility>

namespace vavevar::test {
namespace {

constexpr int kBindAttempts = 50;

[[noreturn]] void fail(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void close_fd(int &fd) {
    if (fd != -1) ::close(fd);
    fd = -1;
}

int open_listener(int family, int receive_buffer) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1) return -1;
    int on = 1;
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    // Set before listen() so that accepted sockets inherit it and the window
    // they advertise is sized from it.
    if (receive_buffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    return fd;
}

bool bind_loopback4(int fd, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

bool bind_loopback6(int fd, std::uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    return ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

std::uint16_t bound_port(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        fail("getsockname");
    return ntohs(address.sin_port);
}

}  // namespace

FakeDaemon::FakeDaemon() : FakeDaemon(Options{}) {}

FakeDaemon::FakeDaemon(Options options) : default_reply_(std::move(options.handshake_reply)) {
    // Both loopback addresses on one port, so that the library finds the
    // daemon whichever address "localhost" resolves to first. An IPv6 port
    // taken by someone else means starting over with a fresh IPv4 port; no
    // ::1 on the machine means IPv4 alone.
    for (int attempt = 0; attempt < kBindAttempts && port_ == 0; ++attempt) {
        listener4_ = open_listener(AF_INET, options.receive_buffer);
        if (listener4_ == -1) fail("socket");
        if (!bind_loopback4(listener4_, 0)) {
            close_fd(listener4_);
            fail("bind 127.0.0.1");
        }
        std::uint16_t candidate = bound_port(listener4_);
        listener6_ = open_listener(AF_INET6, options.receive_buffer);
        if (listener6_ != -1 && !bind_loopback6(listener6_, candidate)) {
            bool taken = errno == EADDRINUSE;
            close_fd(listener6_);
            if (taken) {
                close_fd(listener4_);
                continue;
            }
        }
        port_ = candidate;
    }
    if (port_ == 0) fail("no port free on both loopback addresses");
    if (::listen(listener4_, 16) != 0 || (listener6_ != -1 && ::listen(listener6_, 16) != 0)) {
        close_fd(listener4_);
        close_fd(listener6_);
        fail("listen");
    }
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ == -1) {
        close_fd(listener4_);
        close_fd(listener6_);
        fail("eventfd");
    }
    thread_ = std::thread([this] { run(); });
}

FakeDaemon::~FakeDaemon() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    close_fd(client_);
    close_fd(listener4_);
    close_fd(listener6_);
    close_fd(wake_fd_);
}

void FakeDaemon::wake() {
    std::uint64_t one = 1;
    // Fails only when the counter is saturated, which wakes the loop as well.
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void FakeDaemon::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        std::vector<pollfd> fds;
        fds.push_back({wake_fd_, POLLIN, 0});
        if (client_ == -1) {
            fds.push_back({listener4_, POLLIN, 0});
            if (listener6_ != -1) fds.push_back({listener6_, POLLIN, 0});
        } else {
            short events = 0;
            if (reading_) events |= POLLIN;
            if (!outgoing_.empty()) events |= POLLOUT;
            // A hang-up is reported whatever was asked for; while not reading
            // it would wake the loop again and again, so the socket waits
            // until reading resumes.
            fds.push_back({client_hung_up_ && !reading_ ? -1 : client_, events, 0});
        }

        lock.unlock();
        int ready = ::poll(fds.data(), fds.size(), -1);
        lock.lock();
        if (ready < 0) continue;  // EINTR; the state is looked at again

        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(wake_fd_, &count, sizeof count);
        }
        if (stopping_) break;
        if (client_ != -1 && drop_requested_) {
            write_pending();
            close_client();
            continue;
        }
        if (client_ == -1) {
            drop_requested_ = false;
            for (std::size_t i = 1; i < fds.size() && client_ == -1; ++i)
                if (fds[i].revents & POLLIN) accept_client(fds[i].fd);
            continue;
        }
        if (fds.size() < 2 || fds[1].fd != client_) continue;  // accepted in this round
        short revents = fds[1].revents;
        if (revents & (POLLERR | POLLHUP)) client_hung_up_ = true;
        if (reading_ && (revents & (POLLIN | POLLERR | POLLHUP))) receive();
        if (client_ != -1 && !outgoing_.empty()) write_pending();
    }
}

void FakeDaemon::accept_client(int listener) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd == -1) return;  // the client gave up before it was accepted
    client_ = fd;
    client_hung_up_ = false;
    parser_ = RequestParser{};
    outgoing_.clear();
    ++connections_;
    changed_.notify_all();
}

void FakeDaemon::receive() {
    char chunk[16384];
    // A bounded number of reads per round keeps sends and drops responsive
    // while a client streams data.
    for (int round = 0; round < 16 && client_ != -1; ++round) {
        if (!reading_) return;
        ssize_t n = ::recv(client_, chunk, sizeof chunk, 0);
        if (n > 0) {
            take(std::string_view(chunk, static_cast<std::size_t>(n)), true);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        close_client();  // end of stream or a reset
    }
}

void FakeDaemon::take(std::string_view bytes, bool scripted) {
    received_.append(bytes);
    parser_.feed(bytes);
    bool drop_now = false;
    while (auto request = parser_.next()) {
        request->connection = connections_ - 1;
        if (scripted) {
            queue_reply_to(*request);
            if (drop_countdown_ > 0 && --drop_countdown_ == 0) drop_now = true;
        }
        // The reply is queued before the request becomes visible, so a test
        // that sends after seeing the request sends behind the reply.
        requests_.push_back(std::move(*request));
    }
    changed_.notify_all();
    if (drop_now) {
        write_pending();
        close_client();
    }
}

void FakeDaemon::queue_reply_to(const Request &request) {
    if (request.kind == Request::Kind::connect) {
        std::optional<std::string> reply = default_reply_;
        if (!queued_replies_.empty()) {
            reply = std::move(queued_replies_.front());
            queued_replies_.pop_front();
        }
        if (reply) outgoing_.append(*reply);
    } else if (request.kind == Request::Kind::subscribe && subscribe_answer_) {
        StatusMessage answer = *subscribe_answer_;
        answer.subscriber_id = request.header("SubscriberID").value_or("");
        outgoing_.append(answer.bytes());
    }
}

void FakeDaemon::write_pending() {
    while (client_ != -1 && !outgoing_.empty()) {
        ssize_t n = ::send(client_, outgoing_.data(), outgoing_.size(), MSG_NOSIGNAL);
        if (n > 0) {
            outgoing_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            close_client();
        }
    }
}

void FakeDaemon::close_client() {
    if (client_ == -1) return;
    // Closing with unread bytes makes the kernel answer with a reset, which
    // can cost the client the bytes sent to it just before. Bytes already
    // here are therefore taken in first: they count as received, but their
    // requests get no replies.
    if (reading_) {
        char chunk[16384];
        ssize_t n;
        for (int round = 0; round < 16 && (n = ::recv(client_, chunk, sizeof chunk, 0)) > 0;
             ++round)
            take(std::string_view(chunk, static_cast<std::size_t>(n)), false);
    }
    ::shutdown(client_, SHUT_RDWR);
    close_fd(client_);
    outgoing_.clear();
    drop_requested_ = false;
    ++disconnections_;
    changed_.notify_all();
}

void FakeDaemon::set_handshake_reply(std::optional<std::string> reply) {
    std::lock_guard lock(mutex_);
    default_reply_ = std::move(reply);
}

void FakeDaemon::queue_handshake_reply(std::optional<std::string> reply) {
    std::lock_guard lock(mutex_);
    queued_replies_.push_back(std::move(reply));
}

void FakeDaemon::answer_subscribes(std::optional<std::string> result,
                                   std::optional<std::string> message) {
    std::lock_guard lock(mutex_);
    if (!result) {
        subscribe_answer_.reset();
        return;
    }
    StatusMessage answer;
    answer.result = std::move(result);
    answer.message = std::move(message);
    subscribe_answer_ = std::move(answer);
}

bool FakeDaemon::send(std::string bytes) {
    {
        std::lock_guard lock(mutex_);
        if (client_ == -1) return false;
        outgoing_.append(bytes);
    }
    wake();
    return true;
}

void FakeDaemon::stop_reading() {
    // The loop looks at the flag under the lock before every receive, so no
    // byte is taken in once this returns.
    std::lock_guard lock(mutex_);
    reading_ = false;
}

void FakeDaemon::resume_reading() {
    {
        std::lock_guard lock(mutex_);
        reading_ = true;
    }
    wake();
}

bool FakeDaemon::drop(std::chrono::milliseconds timeout) {
    std::size_t target;
    {
        std::lock_guard lock(mutex_);
        if (client_ == -1) return false;
        target = disconnections_ + 1;
        drop_requested_ = true;
    }
    wake();
    return wait_until(timeout, [&] { return disconnections_ >= target; });
}

void FakeDaemon::drop_after_requests(std::size_t count) {
    std::lock_guard lock(mutex_);
    drop_countdown_ = count;
}

template <typename Done>
bool FakeDaemon::wait_until(std::chrono::milliseconds timeout, Done done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
}

bool FakeDaemon::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) {
    return wait_until(timeout, [&] { return requests_.size() >= count; });
}

bool FakeDaemon::wait_for_requests(Request::Kind kind, std::size_t count,
                                   std::chrono::milliseconds timeout) {
    return wait_until(timeout, [&] {
        auto of_kind = [kind](const Request &r) { return r.kind == kind; };
        return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                      of_kind)) >= count;
    });
}

bool FakeDaemon::wait_for_bytes(std::size_t count, std::chrono::milliseconds timeout) {
    return wait_until(timeout, [&] { return received_.size() >= count; });
}

bool FakeDaemon::wait_for_connections(std::size_t count, std::chrono::milliseconds timeout) {
    return wait_until(timeout, [&] { return connections_ >= count; });
}

bool FakeDaemon::wait_for_disconnections(std::size_t count, std::chrono::milliseconds timeout) {
    return wait_until(timeout, [&] { return disconnections_ >= count; });
}

std::vector<Request> FakeDaemon::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<Request> FakeDaemon::requests(Request::Kind kind) const {
    std::lock_guard lock(mutex_);
    std::vector<Request> of_kind;
    std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(of_kind),
                 [kind](const Request &r) { return r.kind == kind; });
    return of_kind;
}

std::string FakeDaemon::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::size_t FakeDaemon::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

std::size_t FakeDaemon::disconnections() const {
    std::lock_guard lock(mutex_);
    return disconnections_;
}

bool FakeDaemon::client_connected() const {
    std::lock_guard lock(mutex_);
    return client_ != -1;
}

}  // namespace vavevar::test
