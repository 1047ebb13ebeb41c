// The daemon's numbers as the text of GET /metrics: the exposition format
// 0.0.4 that metric scrapers read, with a HELP and a TYPE line for each
// metric. Only daemon-wide series: per-connection numbers would make a series
// per connection ever seen, and they are in the JSON of /stats instead.
#pragma once

#include <cstdint>
#include <string>

#include "http_stats.h"
#include "router.h"

namespace vavevard {

std::string render_metrics(const Router &router, const HttpStats &http, std::int64_t nowMs);

}  // namespace vavevard
