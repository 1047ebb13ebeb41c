// Fixtures for the daemon's tests: the real server on its own thread (port 0,
// so no fixed ports), a raw client speaking the protocol over loopback with a
// time-out on every wait, an outbound event as the client library writes it,
// and a flat view of body blocks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bodyblock/bb_format.h"
#include "server.h"

namespace vavevard::test {

inline constexpr int kWaitMs = 5000;

class DaemonThread {
public:
    explicit DaemonThread(Limits limits = {})
        : server_(std::make_unique<Server>(RouterConfig{"alpha", "testhost:1", "vavevard test", limits})),
          listening_(server_->listen(0, error_)) {
        if (listening_) thread_ = std::thread([this] { server_->run(); });
    }
    ~DaemonThread() {
        if (thread_.joinable()) {
            server_->stop();
            thread_.join();
        }
    }
    bool ok() const { return listening_; }
    const std::string &error() const { return error_; }
    std::uint16_t port() const { return server_->port(); }

private:
    std::string error_;
    std::unique_ptr<Server> server_;
    bool listening_;
    std::thread thread_;
};

// One message as the daemon sends it: first line, headers in order, body, and
// all its bytes.
struct Message {
    std::string first, body, raw;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string get(const std::string &name) const {
        for (const auto &[n, v] : headers)
            if (n == name) return v;
        return "<absent>";
    }
};

class RawClient {
public:
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

    bool send(const std::string &bytes) const {
        ssize_t n = 0;
        for (std::size_t done = 0; done < bytes.size(); done += static_cast<std::size_t>(n))
            if ((n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)) <= 0) return false;
        return true;
    }

    // Reads one message: first line, headers up to the empty line, and the
    // body that Content-Length announces.
    bool read_message(Message &m, int waitMs = kWaitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        m = Message{};
        std::size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!fill(deadline)) return false;
        for (std::size_t at = buffer_.find("\r\n") + 2, lf; at < end + 2; at = lf + 2) {
            lf = buffer_.find("\r\n", at);
            std::string line = buffer_.substr(at, lf - at);
            std::size_t colon = line.find(':');
            m.headers.emplace_back(line.substr(0, colon), colon + 2 > line.size() ? "" : line.substr(colon + 2));
        }
        m.first = buffer_.substr(0, buffer_.find("\r\n"));
        std::string length = m.get("Content-Length");
        while (buffer_.size() < end + 4 + (length == "<absent>" ? 0 : std::stoul(length)))
            if (!fill(deadline)) return false;
        m.raw = buffer_.substr(0, end + 4 + (length == "<absent>" ? 0 : std::stoul(length)));
        m.body = m.raw.substr(end + 4);
        buffer_.erase(0, m.raw.size());
        return true;
    }

    // True when nothing arrives within `waitMs`.
    bool quiet(int waitMs = 200) {
        pollfd p{fd_, POLLIN, 0};
        return buffer_.empty() && ::poll(&p, 1, waitMs) == 0;
    }
    // True when the daemon closes the connection within `waitMs`, whatever it
    // still sends before.
    bool closed_by_daemon(int waitMs = kWaitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (!closedByPeer_)
            if (buffer_.clear(); !fill(deadline) && !closedByPeer_) return false;
        return true;
    }

    bool handshake(Message &reply, const std::string &selfId = "Pid=42; Home=/tmp/h") {
        return send("POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: abc\r\nSelfId: " + selfId + "\r\n\r\n") &&
               read_message(reply);
    }
    bool handshake() {
        Message reply;
        return handshake(reply) && reply.get("Result") == "success";
    }

    static std::string subscribe_request(int id, const std::string &subscription, const std::string &group = "null",
                                         bool deltas = false, const std::vector<std::string> &properties = {}) {
        std::string r = "POST /subscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: " + std::to_string(id) +
                        "\r\nSubscription: " + subscription + "\r\nComponent: comp\r\nMbrInterest: " + group +
                        "\r\nMbrDeltas: " + (deltas ? "true" : "false") +
                        "\r\nnumberOfProperties: " + std::to_string(properties.size()) + "\r\n";
        for (const std::string &p : properties) r += p + "\r\n";
        return r + "\r\n";
    }
    // Subscribes and reads the status answer.
    bool subscribe(int id, const std::string &subscription, Message &status, const std::string &group = "null",
                   bool deltas = false, const std::vector<std::string> &properties = {}) {
        return send(subscribe_request(id, subscription, group, deltas, properties)) && read_message(status);
    }
    bool subscribe(int id, const std::string &subscription) {
        Message status;
        return subscribe(id, subscription, status) && status.get("Result") == "success";
    }
    // One counter of the daemon's stats answer.
    std::string stat(const std::string &name) {
        Message m;
        return send("POST /stats HTTP/1.1\r\n\r\n") && read_message(m) ? m.get(name) : "<no answer>";
    }

private:
    bool fill(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        closedByPeer_ = n <= 0;
        if (n > 0) buffer_.append(chunk, static_cast<std::size_t>(n));
        return n > 0;
    }

    int fd_ = -1;
    std::string buffer_;
    bool closedByPeer_ = false;
};

// An outbound event in the layout the client library writes.
struct OutboundEvent {
    std::string className = "MessageNotification";
    std::string type = "ALARM/DISK";
    std::string id = "host:1:0-1";
    std::vector<std::string> properties;  // "name: value" lines, in wire order
    std::string streamKey;                // written for class 4 only
    std::string body;
    bool localOnly = false;

    std::string wire() const {
        std::string w = "POST /event HTTP/1.1\r\nclassName: " + className +
                        "\r\nSubscriberID: 0\r\neventType: " + type + "\r\neventId: " + id + "\r\n";
        if (className == "MessageNotification" || className.find("Streaming") != std::string::npos) {
            w += "affectedComponents: db\r\naffectedNodes: node1\r\ngeneratingComponent: monitor\r\n"
                 "generatingProcess: host:1\r\ngeneratingNode: host\r\ninstanceName: alpha\r\n"
                 "LocalOnly: " + std::string(localOnly ? "true" : "false") +
                 "\r\nnumberOfProperties: " + std::to_string(properties.size()) + "\r\n";
            for (const std::string &p : properties) w += p + "\r\n";
            if (className == "IncomingStreamingNotification") w += "streamKey: " + streamKey + "\r\n";
        }
        return w + "Content-Length: " + std::to_string(body.size()) + "\r\nAddrList-Length: 0\r\n\r\n" + body;
    }
};

// The flat content of a body block: "seg:<level>:<name>" per segment and
// "<name>=<value>" per element, in encoding order; enough to check what the
// daemon wrote without the client library's decoder.
inline std::vector<std::string> body_block_items(const std::string &body) {
    using namespace vavevar;
    std::string signature(reinterpret_cast<const char *>(kBbSignature), kBbSignatureSize);
    if (body.compare(0, kBbSignatureSize, signature) != 0) return {"<no signature>"};
    std::vector<std::string> items;
    auto u16 = [&](std::size_t i) {
        return static_cast<std::size_t>((static_cast<unsigned char>(body[i]) << 8) | static_cast<unsigned char>(body[i + 1]));
    };
    for (std::size_t at = kBbSignatureSize; at + 3 <= body.size();) {
        std::size_t n = u16(at + 1);
        if (body[at] == kBbTagSegment) {
            items.push_back("seg:" + std::to_string(static_cast<unsigned char>(body[at + 3 + n])) + ":" +
                            body.substr(at + 3, n - 1));
            at += 4 + n;
        } else if (body[at] == kBbTagElement) {
            std::size_t v = u16(at + 4 + n);
            items.push_back(body.substr(at + 3, n) + "=" + body.substr(at + 6 + n, v));
            at += 7 + n + v;
        } else {
            return {"<bad tag>"};
        }
    }
    return items;
}

}  // namespace vavevard::test
