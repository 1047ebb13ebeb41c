// The head of one HTTP/1.x request, cut out of the bytes of a monitoring
// connection. The monitoring endpoint answers one request per connection, so
// the parser stops at the end of the head: a body, or anything after it, is
// none of its business.
//
// It accepts any split of the input (one byte at a time included) and holds
// at most `maxHeadBytes` of it: a head that does not end within the bound is
// an error with status 431, so a client can make the daemon keep no more
// than that however much it sends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vavevard {

inline constexpr std::size_t kMaxHttpHeadBytes = 8 * 1024;

struct HttpRequest {
    std::string method;
    std::string target;  // as sent
    std::string path;    // of the target, without its query
    int minorVersion = 1;
    bool hasBody = false;  // Content-Length above 0, or a Transfer-Encoding
};

class HttpRequestParser {
public:
    explicit HttpRequestParser(std::size_t maxHeadBytes = kMaxHttpHeadBytes) : max_(maxHeadBytes) {}

    enum class Status { need_more, ready, error };

    // Takes the next bytes of the connection. `ready` once the head is
    // complete and valid (request() then holds it), `error` when it cannot
    // be (status() and error() say why); both are final, and later bytes are
    // ignored.
    Status feed(std::string_view bytes);

    Status state() const noexcept { return state_; }
    const HttpRequest &request() const noexcept { return request_; }
    // The status an answer to the failed request carries: 400 for a
    // malformed head, 431 for one over the bound, 505 for a version other
    // than 1.x.
    int status() const noexcept { return status_; }
    const std::string &error() const noexcept { return error_; }
    // What the parser keeps of the input: nothing once it is done.
    std::size_t held() const noexcept { return state_ == Status::need_more ? head_.capacity() : 0; }

private:
    Status fail(int status, std::string why);
    Status parse_head(std::string_view head);
    bool request_line(std::string_view line);
    bool header_line(std::string_view line, int &hosts, long long &contentLength);

    std::size_t max_;
    std::string head_;
    std::size_t scan_ = 0;  // where the search for the end of the head resumes
    Status state_ = Status::need_more;
    int status_ = 0;
    std::string error_;
    HttpRequest request_;
};

}  // namespace vavevard
