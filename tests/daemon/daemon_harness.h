// Fixtures for the daemon's tests: the real server on its own thread (port 0,
// so no fixed ports), an outbound event as the client library writes it, and
// a flat view of body blocks; raw clients come from support.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "server.h"
#include "support/wire_client.h"
#include "wire/bb_format.h"

namespace vavevard::test {

class DaemonThread {
public:
    // `onThread` runs first on the server's thread; `policy` null: the defaults.
    explicit DaemonThread(Limits limits = {}, void (*onThread)() = nullptr, ReplayWindow replay = {},
                          std::shared_ptr<const AccessPolicy> policy = nullptr)
        : server_(RouterConfig{"alpha", "testhost:1", "vavevard test", limits, replay, std::move(policy)}) {
        if ((listening_ = server_.listen(0, error_)))
            thread_ = std::thread([this, onThread] {
                if (onThread) onThread();
                server_.run();
            });
    }
    ~DaemonThread() {
        if (!thread_.joinable()) return;
        server_.stop();
        thread_.join();
    }
    bool ok() const { return listening_; }
    const std::string &error() const { return error_; }
    std::uint16_t port() const { return server_.port(); }

private:
    Server server_;
    std::string error_;
    bool listening_ = false;
    std::thread thread_;
};

using Message = vavevar::test::Request;
using vavevar::test::RawClient;

// Whether a new connection with `selfId` is accepted, trying until the daemon
// has seen what freed a slot (a close it learns of a moment later).
inline bool accepted_soon(std::uint16_t port, const std::string &selfId = "Pid=42; Home=/tmp/h") {
    for (int i = 0; i < 100; ++i) {
        RawClient attempt(port);
        Message reply;
        if (attempt.handshake(reply, selfId) && reply.get("Result") == "success") return true;
    }
    return false;
}

// An event as the client library writes it: subscriber 0, no time headers.
inline vavevar::test::InboundEvent outbound_event(std::string type = "ALARM/DISK") {
    vavevar::test::InboundEvent e;
    e.subscriber_ids = "0";
    e.event_type = std::move(type);
    e.event_id = "host:1:0-1";
    e.creation_time_name = e.delivery_time_name = "";
    e.affected_components = "db";
    e.affected_nodes = "node1";
    e.generating_component = "monitor";
    e.generating_process = "host:1";
    e.generating_node = "host";
    e.instance_name = "alpha";
    return e;
}

// The flat content of a body block: "seg:<level>:<name>" per segment and
// "<name>=<value>" per element, in encoding order; enough to check what the
// daemon wrote without the client library's decoder.
inline std::vector<std::string> body_block_items(const std::string &body) {
    using namespace vavevar::wire;
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
