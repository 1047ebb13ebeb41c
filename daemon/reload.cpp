#include "reload.h"

namespace vavevard {

std::vector<std::string> needing_restart(const Options &running, const Options &fresh) {
    std::vector<std::string> keys;
    auto differs = [&keys](bool changed, const char *key) {
        if (changed) keys.emplace_back(key);
    };
    const Limits &a = running.limits, &b = fresh.limits;
    differs(running.port != fresh.port, "port");
    differs(running.home != fresh.home, "home");
    differs(running.instanceName != fresh.instanceName, "instance-name");
    differs(running.portFile != fresh.portFile, "port-file");
    differs(a.maxPendingBytes != b.maxPendingBytes, "max-pending-mib");
    // Those worked out at start from the system count as changed only when
    // the file now names a value.
    differs(fresh.maxClientsGiven && a.maxClients != b.maxClients, "max-clients");
    differs(fresh.maxMemoryGiven && a.maxTotalBytes != b.maxTotalBytes, "max-memory-mib");
    differs(a.maxConnectionsPerUser != b.maxConnectionsPerUser, "max-connections-per-user");
    differs(a.maxConnectionsPerProcess != b.maxConnectionsPerProcess, "max-connections-per-process");
    differs(a.handshakeTimeoutMs != b.handshakeTimeoutMs, "handshake-timeout");
    differs(a.idleTimeoutMs != b.idleTimeoutMs, "idle-timeout");
    differs(a.slowClientTimeoutMs != b.slowClientTimeoutMs, "slow-client-timeout");
    // The window opens at the start, so a new one has nothing to apply to.
    differs(running.replay.ms != fresh.replay.ms, "replay-window-ms");
    differs(running.replay.bytes != fresh.replay.bytes, "replay-window-mib");
    differs(running.httpPort != fresh.httpPort, "http-port");
    differs(running.httpAddress != fresh.httpAddress, "http-address");
    differs(running.httpTimeoutMs != fresh.httpTimeoutMs, "http-timeout");
    const ClusterOptions &c = running.cluster, &d = fresh.cluster;
    differs(c.servers != d.servers, "cluster");
    differs(c.node != d.node, "node");
    differs(c.name != d.name, "cluster-name");
    differs(c.heartbeatMs != d.heartbeatMs, "cluster-heartbeat-ms");
    differs(c.graceMs != d.graceMs, "cluster-grace-ms");
    differs(c.reconnectBufferBytes != d.reconnectBufferBytes, "cluster-reconnect-buffer-mib");
    return keys;
}

}  // namespace vavevard
