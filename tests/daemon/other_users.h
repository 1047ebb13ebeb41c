// Clients of other users for the access-control tests. The kernel names a
// socket's owner after the file-system user of the thread that made it, and
// setfsuid() changes that for the calling thread alone: so a test running as
// root makes sockets of any user while a daemon thread beside it stays root.
#pragma once

#include <gtest/gtest.h>

#include <sys/fsuid.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "daemon_harness.h"

namespace vavevard::test {

constexpr uid_t kNobody = 65534, kStranger = 65533, kOutsider = 65532;

#define VAVEVARD_NEEDS_ROOT()                                                                             \
    if (::geteuid() != 0)                                                                                 \
    GTEST_SKIP() << "needs root: the clients of other users are sockets made with another file-system user"

// Runs `make` with this thread's file-system user set to `uid`.
template <typename Make>
auto as_user(uid_t uid, Make make) {
    const uid_t self = ::geteuid();
    ::setfsuid(uid);
    auto made = make();
    ::setfsuid(self);
    return made;
}

inline std::unique_ptr<RawClient> client_of(uid_t uid, std::uint16_t port) {
    return as_user(uid, [port] { return std::make_unique<RawClient>(port); });
}

inline std::string event_request(const std::string &type, std::vector<std::string> properties = {}) {
    auto e = outbound_event(type);
    e.property_lines = std::move(properties);
    return e.bytes();
}

// The types of the events that arrive until the connection is quiet.
inline std::vector<std::string> types_received(RawClient &c) {
    std::vector<std::string> types;
    Message m;
    while (c.read_message(m, 250)) types.push_back(m.get("eventType"));
    return types;
}

}  // namespace vavevard::test
