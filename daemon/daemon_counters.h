// The daemon-wide numbers that the monitoring answers give, in one table, so
// that the JSON and the metrics name the same things and a number added here
// shows up in both. The names in JSON are those of the protocol's stats
// answer.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "router.h"

namespace vavevard {

struct DaemonCounter {
    std::string_view name;    // lowerCamelCase, as in the stats answer
    std::string_view metric;  // the metric's name; a counter's ends in _total
    bool gauge;               // a level that goes up and down, not a running total
    std::string_view help;
    std::uint64_t value;
};

// The numbers as they stand, uptime apart (the renderers give it in their
// own units).
std::vector<DaemonCounter> daemon_counters(const Router &router);

}  // namespace vavevard
