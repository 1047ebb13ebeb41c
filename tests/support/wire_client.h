// A protocol client played by hand over loopback: bytes go out verbatim,
// replies are split by the parser that reads the library's requests, and
// every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "support/daemon_wire.h"

namespace vavevar::test {

// False when the peer went away before all of `bytes` was written.
inline bool send_all(int fd, std::string_view bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

class RawClient {
public:
    static constexpr int kWaitMs = 5000;

    explicit RawClient(std::uint16_t port, bool ipv6 = false)
        : fd_(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in v4{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        sockaddr_in6 v6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
        if ((ipv6 ? ::connect(fd_, reinterpret_cast<sockaddr *>(&v6), sizeof v6)
                  : ::connect(fd_, reinterpret_cast<sockaddr *>(&v4), sizeof v4)) != 0)
            close();
    }
    ~RawClient() { close(); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool send(std::string_view bytes) const { return send_all(fd_, bytes); }

    bool read_message(Request &m, int waitMs = kWaitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        auto next = parser_.next();
        while (!next && fill(deadline)) next = parser_.next();
        if (next) m = std::move(*next);
        return next.has_value();
    }
    // True when nothing arrives within `waitMs`.
    bool quiet(int waitMs = 200) {
        pollfd p{fd_, POLLIN, 0};
        return parser_.idle() && ::poll(&p, 1, waitMs) == 0;
    }
    // True when the peer closes within `waitMs`, whatever it sends before.
    bool closed_by_daemon(int waitMs = kWaitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (!closed_)
            if (!fill(deadline) && !closed_) return false;
        return true;
    }

    bool handshake(Request &reply, const std::string &selfId = "Pid=42; Home=/tmp/h") {
        return send("POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: abc\r\nSelfId: " + selfId +
                    "\r\n\r\n") &&
               read_message(reply);
    }
    bool handshake() {
        Request reply;
        return handshake(reply) && reply.get("Result") == "success";
    }

    static std::string subscribe_request(int id, const std::string &filter, const std::string &group = "null",
                                         bool deltas = false, const std::vector<std::string> &properties = {}) {
        std::string r = "POST /subscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: " + std::to_string(id) +
                        "\r\nSubscription: " + filter + "\r\nComponent: comp\r\nMbrInterest: " + group +
                        "\r\nMbrDeltas: " + (deltas ? "true" : "false") +
                        "\r\nnumberOfProperties: " + std::to_string(properties.size()) + "\r\n";
        for (const std::string &p : properties) r += p + "\r\n";
        return r + "\r\n";
    }
    // Subscribes and reads the status answer.
    bool subscribe(int id, const std::string &filter, Request &status, const std::string &group = "null",
                   bool deltas = false, const std::vector<std::string> &properties = {}) {
        return send(subscribe_request(id, filter, group, deltas, properties)) && read_message(status);
    }
    bool subscribe(int id, const std::string &filter) {
        Request status;
        return subscribe(id, filter, status) && status.get("Result") == "success";
    }
    // One counter of the daemon's stats answer.
    std::string stat(const std::string &name) {
        Request m;
        return send("POST /stats HTTP/1.1\r\n\r\n") && read_message(m) ? m.get(name) : "<no answer>";
    }

private:
    bool fill(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        closed_ = n <= 0;
        if (n > 0) parser_.feed(std::string_view(chunk, static_cast<std::size_t>(n)));
        return n > 0;
    }

    int fd_ = -1;
    RequestParser parser_;
    bool closed_ = false;
};

}  // namespace vavevar::test
