// Nodes of a vavevard cluster as the cross-node benchmark runs them: each
// node one nats-server, routed to the servers started before it, and one
// vavevard joined to the cluster through it. Every server is a child of the
// driver on free loopback ports with a directory of its own, stopped by its
// PID.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "peer_system.h"

namespace vavevar::bench {

struct ClusterNode {
    std::string name;
    std::string natsUrl;  // nats://127.0.0.1:PORT, for clients
    std::string routeUrl; // nats://127.0.0.1:PORT, for the other servers
    std::unique_ptr<PeerServer> nats;
    std::unique_ptr<PeerServer> daemon;  // its client environment reaches this node
};

// Starts vavevard with `args` added to its port, home and log options; its
// client environment reaches it.
std::unique_ptr<PeerServer> start_daemon(const std::string &name,
                                         const std::vector<std::string> &args);

// Starts a nats-server routed to those of `earlier` (so that the last of a
// series names all before it) and a vavevard named `node` in cluster
// `cluster`, given its own server first and the others for fail-over, and
// `daemonArgs`.
ClusterNode start_cluster_node(const std::string &cluster, const std::string &node,
                               const std::vector<const ClusterNode *> &earlier,
                               const std::vector<std::string> &daemonArgs);

// Stops the daemon first, so that it leaves the cluster through its server.
// Dies when either did not exit cleanly.
void stop_cluster_node(ClusterNode &node);

}  // namespace vavevar::bench
