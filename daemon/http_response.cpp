#include "http_response.h"

namespace vavevard {

std::string_view http_reason(int status) noexcept {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

std::string http_response(int status, std::string_view contentType, std::string_view body, bool headOnly,
                          std::string_view extraHeaders) {
    std::string out;
    out.reserve(160 + extraHeaders.size() + (headOnly ? 0 : body.size()));
    out.append("HTTP/1.1 ").append(std::to_string(status)).append(" ").append(http_reason(status)).append("\r\n");
    out.append("Content-Type: ").append(contentType).append("\r\n");
    out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    out.append("Cache-Control: no-store\r\nConnection: close\r\n");
    out.append(extraHeaders).append("\r\n");
    if (!headOnly) out.append(body);
    return out;
}

}  // namespace vavevard
