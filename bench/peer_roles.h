// The processes of the peer benchmark other than the driver and the servers,
// the same for every system: each is a copy of the benchmark started with
// "--role" and tells the driver what it measured in lines on standard output.
#pragma once

#include <string>

#include "peer_system.h"

namespace vavevar::bench {

// How long a subscriber waits for the first message, and then for each next
// one before it counts the rest as lost.
constexpr int kFirstWaitMs = 60000;
constexpr int kGapWaitMs = 5000;

// The roles:
//   sub   subscribes, says "ready", receives `count` messages (or until none
//         comes for kGapWaitMs), says "FIRST_NS LAST_NS RECEIVED CPU_NS"
//   pub   says "START_NS", publishes `count` bodies of `bodySize` bytes, hands
//         them all to the server, says "END_NS CPU_NS"
//   echo  subscribes to pings, says "ready", answers `count` of them
//   ping  subscribes to answers, says "ready", waits for a line on standard
//         input, times `warmup` + `count` round trips, says
//         "P50_NS P90_NS P99_NS MIN_NS MAX_NS" of the last `count`
// CPU_NS is the process's own user + system time over its part of the work.
int run_role(const PeerSystem &system, const std::string &role, long count, long bodySize,
             long warmup);

}  // namespace vavevar::bench
