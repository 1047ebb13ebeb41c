// The daemon's state as the JSON document of GET /stats: the daemon-wide
// numbers, the monitoring endpoint's own, and a list of connections with
// their subscriptions. Keys are lowerCamelCase throughout.
//
// The list is bounded however many connections and subscriptions there are,
// so that the answer is too: past `maxClients` connections or
// `maxSubscriptions` subscriptions the rest are counted, not listed, and a
// text from a client is cut at `maxTextBytes`; `truncated` says whether
// anything was left out or cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "http_stats.h"
#include "router.h"

namespace vavevard {

struct StatsDetailLimits {
    std::size_t maxClients = 1000;
    std::size_t maxSubscriptions = 1000;
    std::size_t maxTextBytes = 256;
};

std::string render_stats_json(const Router &router, const HttpStats &http, std::int64_t nowMs,
                              const StatsDetailLimits &limits = {});

}  // namespace vavevard
