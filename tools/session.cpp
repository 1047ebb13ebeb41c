#include "session.h"

#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>

#include "vavevar.h"

namespace vavevar::cli {
namespace {

std::string where(std::uint16_t port) { return "the daemon on localhost:" + std::to_string(port); }

// Connects with a bounded wait; -1 with `error` set on failure.
int connect_bounded(const addrinfo *ai, int timeoutMs, std::string &error) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        rc = ::poll(&p, 1, timeoutMs);
        if (rc == 0) {
            error = "no answer within " + std::to_string(timeoutMs / 1000) + " s";
            ::close(fd);
            return -1;
        }
        int soerr = 0;
        socklen_t len = sizeof soerr;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
        rc = soerr == 0 ? 0 : -1;
        errno = soerr;
    }
    if (rc != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

DaemonSocket::DaemonSocket(std::uint16_t port, int timeoutMs) : timeoutMs_(timeoutMs), port_(port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo("localhost", service.c_str(), &hints, &list);
    if (rc != 0) throw Failure("cannot resolve localhost: " + std::string(::gai_strerror(rc)));
    std::string error = "no address";
    for (const addrinfo *ai = list; ai != nullptr && fd_ < 0; ai = ai->ai_next)
        fd_ = connect_bounded(ai, timeoutMs, error);
    ::freeaddrinfo(list);
    if (fd_ < 0) throw Failure("cannot connect to " + where(port) + ": " + error);
}

DaemonSocket::~DaemonSocket() {
    if (fd_ >= 0) ::close(fd_);
}

void DaemonSocket::send_all(const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, timeoutMs_) <= 0) throw Failure(where(port_) + " does not take requests");
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) throw Failure("sending to " + where(port_) + ": " + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
}

std::string DaemonSocket::read_header_block() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    for (;;) {
        // LF alone ends lines too.
        for (const char *end : {"\r\n\r\n", "\n\n"}) {
            std::size_t at = buffer_.find(end);
            if (at != std::string::npos) {
                std::string block = buffer_.substr(0, at + std::strlen(end));
                buffer_.erase(0, block.size());
                return block;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{fd_, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0)
            throw Failure(where(port_) + " did not answer within " +
                          std::to_string(timeoutMs_ / 1000) + " s");
        char chunk[4096];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) throw Failure(where(port_) + " closed the connection before answering");
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

Session::Session(const Endpoint &endpoint, std::int64_t budgetMs)
    : port_(endpoint.resolve_port()), began_(std::chrono::steady_clock::now()) {
    std::string home = endpoint.resolve_home();
    int probeMs = budgetMs > 0 && budgetMs < 5000 ? static_cast<int>(budgetMs) : 5000;
    { DaemonSocket probe(port_, probeMs); }
    // The library takes the port and the home from one place each: the port
    // as an argument, the home from the variable it reads first.
    if (::setenv("TAMRIX_CONFIG_HOME", home.c_str(), 1) != 0)
        throw Failure("cannot set TAMRIX_CONFIG_HOME: " + std::string(std::strerror(errno)));
    std::int32_t rc = lumo_init_with_port(port_);
    if (rc == -1) throw UsageError("the library refused the configuration (see above)");
    if (rc == -2) throw Failure("the library could not start: the system refused a resource");
}

Session::~Session() {
    if (std::uncaught_exceptions() > 0) lumo_shutdown_nowait();
    else lumo_shutdown();
}

std::string Session::where() const { return cli::where(port_); }

std::string Session::waited() const {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

void Session::require_connection(const std::string &what) const {
    char *instance = nullptr;
    lumo_get_instancename(&instance);
    if (instance == nullptr)
        throw Failure("no link to " + where() + ": the handshake did not complete in " + waited() +
                      "; " + what);
    std::free(instance);
}

void set_properties(lumo_notification *n, const Properties &properties) {
    for (auto it = properties.rbegin(); it != properties.rend(); ++it)
        if (lumo_notification_setProperty(n, it->first.c_str(), it->second.c_str()) != 0)
            throw Failure("cannot set the property '" + it->first + "'");
}

Subscription subscribe(const std::string &expr, const std::string &component,
                       const std::optional<std::string> &group, bool deltas,
                       const lumo_proplist *properties) {
    constexpr std::int32_t kAnswerMs = 10000;
    char *status = nullptr;
    const char *interest = group ? group->c_str() : nullptr;
    // Connected already, so the answer comes at once unless the daemon hangs.
    lumo_subscriber *s =
        deltas ? lumo_subscriber_create_wdeltas(expr.c_str(), component.c_str(), interest,
                                                properties, &status)
               : lumo_subscriber_create_wtimeout(expr.c_str(), component.c_str(), interest,
                                                 properties, &status, kAnswerMs);
    std::string message = status != nullptr ? status : "";
    std::free(status);
    if (s != nullptr) return Subscription(s);
    if (message == "timedout")
        throw Failure("the daemon did not answer the subscription within " +
                      std::to_string(kAnswerMs / 1000) + " s");
    throw UsageError("the daemon refused the subscription: " +
                     (message.empty() ? std::string("no reason given") : message));
}

Subscription subscribe_until(const Session &session, const std::string &expr,
                             const std::string &component, const std::optional<std::string> &group,
                             const lumo_proplist *properties,
                             std::chrono::steady_clock::time_point deadline,
                             const StopSignals &signals, int &stopped) {
    Subscription s(lumo_subscriber_create_async(expr.c_str(), component.c_str(),
                                                group ? group->c_str() : nullptr, properties));
    if (!s) throw Failure("cannot create a subscriber");
    for (;;) {
        char *status = nullptr;
        std::int32_t state = lumo_subscriber_status(s.get(), &status);
        std::string message = status != nullptr ? status : "";
        std::free(status);
        if (state == 0) return s;
        if (state != 1)
            throw UsageError("the daemon refused the subscription: " +
                             (message.empty() ? std::string("no reason given") : message));
        if ((stopped = signals.pending()) != 0) return nullptr;
        if (std::chrono::steady_clock::now() >= deadline)
            throw Failure("no answer to the subscription from " + session.where() + " after " +
                          session.waited());
        ::poll(nullptr, 0, 20);
    }
}

StopSignals::StopSignals() {
    sigemptyset(&set_);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, s);
    pthread_sigmask(SIG_BLOCK, &set_, &old_);
}

StopSignals::~StopSignals() {
    // A stop that came in while the library shut down has been obeyed: take
    // it, so that unblocking does not end the process with it.
    while (pending() != 0) {}
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

int StopSignals::pending() const {
    timespec zero{0, 0};
    int taken = sigtimedwait(&set_, nullptr, &zero);
    return taken > 0 ? taken : 0;
}

}  // namespace vavevar::cli
