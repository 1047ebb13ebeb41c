// How a daemon joins a cluster: its NATS servers, its own node name and the
// cluster's, and the timings of the membership heartbeats. No servers: the
// daemon serves its machine alone, as without this subsystem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vavevard {

struct ClusterOptions {
    std::vector<std::string> servers;   // nats://HOST:PORT, tried in this order
    std::string node;                   // empty: the host name
    std::string name = "vavevar";       // prefixes every subject
    std::int64_t heartbeatMs = 1000;
    std::int64_t graceMs = 5000;        // silent this long: a node has left
    std::size_t reconnectBufferBytes = 8 * 1024 * 1024;  // held by libnats while the link is down

    bool enabled() const noexcept { return !servers.empty(); }
};

}  // namespace vavevard
