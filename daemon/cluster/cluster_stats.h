// What a daemon joined to a cluster counts about its link and its peers: a
// snapshot taken on the event loop's thread for the stats answer, /stats and
// /metrics. Plain data, so that the renderers need nothing of the bridge.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vavevard {

struct ClusterPeerStats {
    std::string node;
    bool alive = false;                 // heard from within the grace period
    std::uint64_t eventsReceived = 0;   // routed here from it
    std::uint64_t duplicatesDropped = 0;
    std::uint64_t eventsDropped = 0;    // over the inbound bound, or unreadable
    std::uint64_t members = 0;          // of its members known here now
};

struct ClusterStats {
    std::string node;
    std::string name;
    bool linkUp = false;
    std::uint64_t disconnects = 0;
    std::uint64_t reconnects = 0;
    std::uint64_t eventsForwarded = 0;      // handed to NATS
    std::uint64_t eventsForwardDropped = 0; // over the outbound bound, or refused by NATS
    std::uint64_t eventsReceived = 0;
    std::uint64_t duplicatesDropped = 0;
    std::uint64_t eventsInboundDropped = 0;
    std::uint64_t outboundQueued = 0;       // waiting for the bridge thread now
    std::uint64_t peersAlive = 0;
    std::uint64_t remoteMembers = 0;
    std::vector<ClusterPeerStats> peers;    // by node name
};

}  // namespace vavevard
