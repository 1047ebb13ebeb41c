// The bytes of one HTTP/1.1 answer of the monitoring endpoint. Every answer
// says how long it is and that the connection closes after it: a monitoring
// scraper asks once in a while, and a connection per request keeps the
// daemon from holding idle ones.
#pragma once

#include <string>
#include <string_view>

namespace vavevard {

inline constexpr std::string_view kJsonType = "application/json";
inline constexpr std::string_view kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
inline constexpr std::string_view kTextType = "text/plain; charset=utf-8";

// The reason phrase of a status the endpoint sends.
std::string_view http_reason(int status) noexcept;

// Status line, headers and, unless `headOnly` (an answer to HEAD), `body`.
// Content-Length is the body's length either way. `extraHeaders` is whole
// header lines, each ending in CR LF.
std::string http_response(int status, std::string_view contentType, std::string_view body,
                          bool headOnly = false, std::string_view extraHeaders = {});

}  // namespace vavevard
