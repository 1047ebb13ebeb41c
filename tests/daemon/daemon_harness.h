// Fixtures for the daemon's wire tests: the real server running in this
// process on its own thread (port 0, so no fixed ports), and a raw client that
// speaks the protocol over a loopback socket with a time-out on every wait.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "server.h"

namespace vavevard::test {

inline constexpr int kWaitMs = 5000;

class DaemonThread {
public:
    explicit DaemonThread(Limits limits = {}, std::string instance = "alpha") {
        RouterConfig config{std::move(instance), "testhost:1", "vavevard test", limits};
        server_ = std::make_unique<Server>(config);
        std::string error;
        listening_ = server_->listen(0, error);
        error_ = error;
        if (listening_) thread_ = std::thread([this] { server_->run(); });
    }
    ~DaemonThread() { stop(); }
    DaemonThread(const DaemonThread &) = delete;
    DaemonThread &operator=(const DaemonThread &) = delete;

    void stop() {
        if (thread_.joinable()) {
            server_->stop();
            thread_.join();
        }
    }
    bool ok() const { return listening_; }
    const std::string &error() const { return error_; }
    std::uint16_t port() const { return server_->port(); }
    // Only after stop().
    Router &router() { return server_->router(); }

private:
    std::unique_ptr<Server> server_;
    std::thread thread_;
    bool listening_ = false;
    std::string error_;
};

// One message as the daemon sends it: its first line, its header lines in
// order, and its body.
struct Message {
    std::string first;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string raw;

    std::string get(const std::string &name) const {
        for (const auto &[n, v] : headers)
            if (n == name) return v;
        return "<absent>";
    }
};

class RawClient {
public:
    explicit RawClient(std::uint16_t port, bool ipv6 = false) {
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage addr{};
        socklen_t len;
        if (ipv6) {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&addr);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(port);
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        } else {
            auto *a = reinterpret_cast<sockaddr_in *>(&addr);
            a->sin_family = AF_INET;
            a->sin_port = htons(port);
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        }
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
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

    bool send(const std::string &bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Waits at most `waitMs` for more bytes; false on time-out, end or error.
    bool fill(int waitMs = kWaitMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0) return false;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closedByPeer_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    bool read_line(std::string &line, int waitMs = kWaitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            std::size_t lf = buffer_.find('\n');
            if (lf != std::string::npos) {
                line = buffer_.substr(0, lf);
                raw_.append(buffer_, 0, lf + 1);
                buffer_.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            if (!fill(remaining(deadline))) return false;
        }
    }

    bool read_bytes(std::string &out, std::size_t n, int waitMs = kWaitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (buffer_.size() < n)
            if (!fill(remaining(deadline))) return false;
        out = buffer_.substr(0, n);
        raw_.append(out);
        buffer_.erase(0, n);
        return true;
    }

    // Reads one message: first line, headers up to the empty line, and the
    // body that Content-Length announces.
    bool read_message(Message &m, int waitMs = kWaitMs) {
        m = Message{};
        raw_.clear();
        std::string line;
        if (!read_line(m.first, waitMs)) return false;
        for (;;) {
            if (!read_line(line, waitMs)) return false;
            if (line.empty()) break;
            std::size_t colon = line.find(':');
            std::string name = line.substr(0, colon);
            std::string value = colon == std::string::npos || colon + 2 > line.size()
                                    ? std::string()
                                    : line.substr(colon + 2);
            m.headers.emplace_back(name, value);
        }
        std::string length = m.get("Content-Length");
        if (length != "<absent>" && std::stoul(length) > 0 &&
            !read_bytes(m.body, std::stoul(length), waitMs))
            return false;
        m.raw = raw_;
        return true;
    }

    // True when nothing arrives within `waitMs`.
    bool quiet(int waitMs = 200) {
        if (!buffer_.empty()) return false;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, waitMs) == 0;
    }

    // True when the daemon closes the connection within `waitMs`, whatever
    // it still had queued.
    bool closed_by_daemon(int waitMs = kWaitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (!closedByPeer_) {
            buffer_.clear();
            if (!fill(remaining(deadline)) && !closedByPeer_) return false;
        }
        return true;
    }

    bool handshake(Message &reply, const std::string &selfId = "Pid=42; Home=/tmp/h") {
        return send("POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: abc\r\nSelfId: " +
                    selfId + "\r\n\r\n") &&
               read_message(reply);
    }
    bool handshake() {
        Message reply;
        return handshake(reply) && reply.get("Result") == "success";
    }

    static std::string subscribe_request(int id, const std::string &subscription,
                                         const std::string &interest = "null",
                                         bool deltas = false,
                                         const std::vector<std::string> &properties = {}) {
        std::string r = "POST /subscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: " +
                        std::to_string(id) + "\r\nSubscription: " + subscription +
                        "\r\nComponent: comp\r\nMbrInterest: " + interest +
                        "\r\nMbrDeltas: " + (deltas ? "true" : "false") +
                        "\r\nnumberOfProperties: " + std::to_string(properties.size()) + "\r\n";
        for (const std::string &p : properties) r += p + "\r\n";
        return r + "\r\n";
    }

    // Subscribes and reads the status answer.
    bool subscribe(int id, const std::string &subscription, Message &status,
                   const std::string &interest = "null", bool deltas = false,
                   const std::vector<std::string> &properties = {}) {
        return send(subscribe_request(id, subscription, interest, deltas, properties)) &&
               read_message(status);
    }
    bool subscribe(int id, const std::string &subscription) {
        Message status;
        return subscribe(id, subscription, status) && status.get("Result") == "success";
    }

private:
    static int remaining(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

    int fd_ = -1;
    std::string buffer_;
    std::string raw_;
    bool closedByPeer_ = false;
};

// An outbound event in the layout the client library writes.
struct OutboundEvent {
    std::string className = "MessageNotification";
    int subscriberId = 0;
    std::string type = "ALARM/DISK";
    std::string id = "host:1:0-1";
    std::string affectedComponents = "db";
    std::string affectedNodes = "node1";
    std::string component = "monitor";
    std::string process = "host:1";
    std::string node = "host";
    std::string instance = "alpha";
    bool localOnly = false;
    std::vector<std::string> properties;  // "name: value" lines, in wire order
    std::string streamKey;                // written for class 4 only
    std::string body;

    bool full_form() const {
        return className == "MessageNotification" ||
               className == "OutgoingStreamingNotification" ||
               className == "IncomingStreamingNotification";
    }

    std::string wire() const {
        std::string w = "POST /event HTTP/1.1\r\nclassName: " + className +
                        "\r\nSubscriberID: " + std::to_string(subscriberId) +
                        "\r\neventType: " + type + "\r\neventId: " + id + "\r\n";
        if (full_form()) {
            w += "affectedComponents: " + affectedComponents + "\r\naffectedNodes: " +
                 affectedNodes + "\r\ngeneratingComponent: " + component +
                 "\r\ngeneratingProcess: " + process + "\r\ngeneratingNode: " + node +
                 "\r\ninstanceName: " + instance + "\r\nLocalOnly: " +
                 (localOnly ? "true" : "false") +
                 "\r\nnumberOfProperties: " + std::to_string(properties.size()) + "\r\n";
            for (const std::string &p : properties) w += p + "\r\n";
            if (className == "IncomingStreamingNotification") w += "streamKey: " + streamKey + "\r\n";
        }
        return w + "Content-Length: " + std::to_string(body.size()) +
               "\r\nAddrList-Length: 0\r\n\r\n" + body;
    }
};

// The flat content of a body block: "seg:<level>:<name>" for each segment and
// "<name>=<value>" for each element, in encoding order. Enough to check what
// the daemon wrote without the client library's decoder.
inline std::vector<std::string> body_block_items(const std::string &body) {
    static const std::string signature("\x00\xA3\x7C\x08\xE7\x78\xEE\x24\x5F\xD3\xB6\x4E", 12);
    std::vector<std::string> items;
    if (body.compare(0, 12, signature) != 0) return {"<no signature>"};
    std::size_t at = 12;
    auto u16 = [&](std::size_t i) {
        return (static_cast<unsigned char>(body[i]) << 8) | static_cast<unsigned char>(body[i + 1]);
    };
    while (at + 3 <= body.size()) {
        char tag = body[at];
        std::size_t n = static_cast<std::size_t>(u16(at + 1));
        if (tag == 1) {
            items.push_back("seg:" + std::to_string(static_cast<unsigned char>(body[at + 3 + n])) +
                            ":" + body.substr(at + 3, n - 1));
            at += 3 + n + 1;
        } else if (tag == 2) {
            std::string name = body.substr(at + 3, n);
            std::size_t v = static_cast<std::size_t>(u16(at + 4 + n));
            items.push_back(name + "=" + body.substr(at + 6 + n, v));
            at += 7 + n + v;
        } else {
            items.push_back("<bad tag>");
            break;
        }
    }
    return items;
}

}  // namespace vavevard::test
