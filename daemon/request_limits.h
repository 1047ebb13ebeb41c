// Bounds on what one client may send or leave unread. Each bound protects the
// daemon's memory from a single misbehaving or stalled client; exceeding an
// input bound closes that client's connection, never anyone else's.
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
};

}  // namespace vavevard
