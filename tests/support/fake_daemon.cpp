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
#include <system_error>
#include <utility>

namespace vavevar::test {
namespace {

[[noreturn]] void fail(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void close_fd(int &fd) {
    if (fd != -1) ::close(fd);
    fd = -1;
}

// A non-blocking socket bound to the loopback address of `family` on `port`
// (0: any free one); -1 with errno set when that fails.
int bind_loopback(int family, std::uint16_t port) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0), on = 1;
    sockaddr_in a4{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    sockaddr_in6 a6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (fd == -1 || (family == AF_INET ? ::bind(fd, reinterpret_cast<sockaddr *>(&a4), sizeof a4)
                                       : ::bind(fd, reinterpret_cast<sockaddr *>(&a6), sizeof a6)) == 0)
        return fd;
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

}  // namespace

FakeDaemon::FakeDaemon() {
    // Both loopback addresses on one port, so that the library finds the
    // daemon whichever address "localhost" resolves to first. An IPv6 port
    // taken by someone else means starting over with a fresh IPv4 port; no
    // ::1 on the machine means IPv4 alone.
    for (int attempt = 0; attempt < 50 && port_ == 0; ++attempt) {
        if ((listener4_ = bind_loopback(AF_INET, 0)) == -1) fail("bind 127.0.0.1");
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(listener4_, reinterpret_cast<sockaddr *>(&address), &length);
        listener6_ = bind_loopback(AF_INET6, ntohs(address.sin_port));
        if (listener6_ == -1 && errno == EADDRINUSE)
            close_fd(listener4_);
        else
            port_ = ntohs(address.sin_port);
    }
    if (port_ == 0 || ::listen(listener4_, 16) != 0 || (listener6_ != -1 && ::listen(listener6_, 16) != 0) ||
        (wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) == -1) {
        int error = errno;
        for (int *fd : {&listener4_, &listener6_, &wake_fd_}) close_fd(*fd);
        errno = error;
        fail("listening on loopback");
    }
    thread_ = std::thread([this] { run(); });
}

FakeDaemon::~FakeDaemon() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    for (int *fd : {&client_, &listener4_, &listener6_, &wake_fd_}) close_fd(*fd);
}

void FakeDaemon::wake() {
    std::uint64_t one = 1;
    // Fails only when the counter is saturated, which wakes the loop as well.
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void FakeDaemon::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        std::vector<pollfd> fds{{wake_fd_, POLLIN, 0}};
        if (client_ == -1) {
            fds.push_back({listener4_, POLLIN, 0});
            if (listener6_ != -1) fds.push_back({listener6_, POLLIN, 0});
        } else {
            short events = static_cast<short>((reading_ ? POLLIN : 0) | (outgoing_.empty() ? 0 : POLLOUT));
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
    // A bounded number of reads per round keeps sends and drops responsive
    // while a client streams data.
    char chunk[16384];
    for (int round = 0; round < 16 && client_ != -1; ++round) {
        if (!reading_) return;
        ssize_t n = ::recv(client_, chunk, sizeof chunk, 0);
        if (n > 0)
            take(std::string_view(chunk, static_cast<std::size_t>(n)), true);
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        else if (n == 0 || errno != EINTR)
            close_client();  // end of stream or a reset
    }
}

void FakeDaemon::take(std::string_view bytes, bool scripted) {
    received_.append(bytes);
    parser_.feed(bytes);
    while (auto request = parser_.next()) {
        request->connection = connections_ - 1;
        // The reply is queued before the request becomes visible, so a test
        // that sends after seeing the request sends behind the reply.
        if (scripted && request->kind == Request::Kind::connect) {
            std::optional<std::string> reply = default_reply_;
            if (!queued_replies_.empty()) {
                reply = std::move(queued_replies_.front());
                queued_replies_.pop_front();
            }
            if (reply) outgoing_.append(*reply);
        } else if (scripted && request->kind == Request::Kind::subscribe && subscribe_answer_) {
            StatusMessage answer = *subscribe_answer_;
            answer.subscriber_id = request->header("SubscriberID").value_or("");
            outgoing_.append(answer.bytes());
        }
        requests_.push_back(std::move(*request));
    }
    changed_.notify_all();
}

void FakeDaemon::write_pending() {
    while (client_ != -1 && !outgoing_.empty()) {
        ssize_t n = ::send(client_, outgoing_.data(), outgoing_.size(), MSG_NOSIGNAL);
        if (n > 0)
            outgoing_.erase(0, static_cast<std::size_t>(n));
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        else if (n == 0 || errno != EINTR)
            close_client();
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
    if (!result) return subscribe_answer_.reset();
    subscribe_answer_ = StatusMessage{std::move(result), "", std::move(message)};
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

template <typename Done>
bool FakeDaemon::wait_until(std::chrono::milliseconds timeout, Done done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
}

bool FakeDaemon::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) {
    return wait_until(timeout, [&] { return requests_.size() >= count; });
}

bool FakeDaemon::wait_for_requests(Request::Kind kind, std::size_t count, std::chrono::milliseconds timeout) {
    return wait_until(timeout, [&] {
        return std::count_if(requests_.begin(), requests_.end(), [&](const Request &r) { return r.kind == kind; }) >=
               static_cast<std::ptrdiff_t>(count);
    });
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
    std::vector<Request> of_kind;
    for (Request &r : requests())
        if (r.kind == kind) of_kind.push_back(std::move(r));
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

}  // namespace vavevar::test
