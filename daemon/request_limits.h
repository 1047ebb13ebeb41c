// Bounds on what one client may send, leave unread or make the daemon keep,
// and on what all of them together may make it hold. Each per-client bound
// protects the daemon's memory from a single misbehaving or stalled client.
// Crossing an input bound closes that client's connection; crossing a bound
// on what a subscription keeps refuses that subscribe with a failure status
// and leaves the connection as it was. Nobody else is affected.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vavevard {

struct Limits {
    std::size_t maxLineBytes = 64 * 1024;        // one request or header line, without its LF
    std::size_t maxHeaderLines = 64;             // header lines of one request, properties apart
    std::size_t maxProperties = 1024;            // property lines of one event or subscription
    std::size_t maxBodyBytes = 16 * 1024 * 1024; // body (and address list) of one event
    // Unsent output past which events for a client are skipped (and counted)
    // rather than queued; queueing resumes once it is down to half.
    std::size_t maxPendingBytes = 64 * 1024 * 1024;
    std::size_t maxSubscriptions = 10000;        // subscriptions held by one connection
    std::size_t maxClients = 4096;               // connections that completed the handshake
    std::size_t maxSubscriptionTextBytes = 1024 * 1024;  // filter, component and group
                                                 // texts kept for one connection
    std::size_t maxMemberPropertyLine = 8 * 1024;     // one property line of a member
    std::size_t maxMemberPropertyBytes = 256 * 1024;  // property lines kept for one
                                                 // connection's members
    std::size_t maxMemberListBytes = 16 * 1024 * 1024;  // encoded member list sent to a joiner

    // Before the handshake a connection may send only a connect or a stats
    // request of this size, and have this much output waiting before the
    // daemon stops reading from it.
    std::size_t maxHandshakeBytes = 64 * 1024;
    std::size_t readPauseBytesBeforeHandshake = 64 * 1024;
    // After it, the daemon stops reading from a connection while this much
    // output waits for it: a client that asks without reading the answers
    // (or publishes to itself without reading) is held back, not buffered.
    std::size_t readPauseBytes = 4 * 1024 * 1024;
    // What all connections together may make the daemon hold: past 7/8 of
    // it new connections and subscriptions are refused; past all of it the
    // connection holding the most is dropped until it is back under.
    std::size_t maxTotalBytes = std::size_t{1024} * 1024 * 1024;
    // A connection that has not completed its handshake within this time is
    // closed; one that neither sends nor reads for the idle time too (0: never).
    std::int64_t handshakeTimeoutMs = 10 * 1000;
    std::int64_t idleTimeoutMs = 0;
    // A client with output waiting that has taken none of it for this long
    // is closed (0: never): a stopped process would otherwise keep its
    // subscriptions skipping, and its groups believing it is there, forever.
    std::int64_t slowClientTimeoutMs = 60 * 1000;
    // Connections one user (as the kernel knows the peer) may hold, handshake
    // done or not, and connections past the handshake from one process (as
    // its self identifier says). 0 for the user: three quarters of maxClients,
    // and at least 8.
    std::size_t maxConnectionsPerUser = 0;
    std::size_t maxConnectionsPerProcess = 256;
};

}  // namespace vavevard
