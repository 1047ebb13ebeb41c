// Bounds on what one client may send, leave unread or make the daemon keep.
// Each bound protects the daemon's memory from a single misbehaving or stalled
// client. Crossing an input bound closes that client's connection; crossing a
// bound on what a subscription keeps refuses that subscribe with a failure
// status and leaves the connection as it was. Nobody else is affected.
#pragma once

#include <cstddef>

namespace vavevard {

struct Limits {
    std::size_t maxLineBytes = 64 * 1024;        // one request or header line, without its LF
    std::size_t maxHeaderLines = 64;             // header lines of one request, properties apart
    std::size_t maxProperties = 1024;            // property lines of one event or subscription
    std::size_t maxBodyBytes = 16 * 1024 * 1024; // body (and address list) of one event
    std::size_t maxPendingBytes = 64 * 1024 * 1024;  // unsent output before a client is dropped
    std::size_t maxSubscriptions = 10000;        // subscriptions held by one connection
    std::size_t maxClients = 4096;               // connections that completed the handshake
    std::size_t maxSubscriptionTextBytes = 1024 * 1024;  // filter, component and group
                                                 // texts kept for one connection
    std::size_t maxMemberPropertyLine = 8 * 1024;     // one property line of a member
    std::size_t maxMemberPropertyBytes = 256 * 1024;  // property lines kept for one
                                                 // connection's members
    std::size_t maxMemberListBytes = 16 * 1024 * 1024;  // encoded member list sent to a joiner
};

}  // namespace vavevard
