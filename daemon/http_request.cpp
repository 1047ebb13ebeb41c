#include "http_request.h"

#include <algorithm>

namespace vavevard {
namespace {

// The characters of a method or header name.
bool token_char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool token(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), token_char); }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

HttpRequestParser::Status HttpRequestParser::fail(int status, std::string why) {
    status_ = status;
    error_ = std::move(why);
    head_.clear();
    head_.shrink_to_fit();
    return state_ = Status::error;
}

HttpRequestParser::Status HttpRequestParser::feed(std::string_view bytes) {
    if (state_ != Status::need_more) return state_;
    // Empty lines before the request line are skipped, as HTTP asks of a
    // server; they count against nothing.
    if (head_.empty())
        while (!bytes.empty() && (bytes.front() == '\r' || bytes.front() == '\n')) bytes.remove_prefix(1);
    if (bytes.empty()) return state_;
    // Kept only up to the bound: past it the head could not end in time,
    // whatever follows, unless it ends within what came.
    std::size_t room = max_ - head_.size();
    head_.append(bytes.substr(0, room));
    // The head ends at an empty line, CRLF or a bare LF alike.
    for (std::size_t i = scan_; i < head_.size(); ++i) {
        if (head_[i] != '\n') continue;
        std::size_t next = i + 1;
        if (next < head_.size() && head_[next] == '\r') ++next;
        if (next < head_.size() && head_[next] == '\n') {
            Status s = parse_head(std::string_view(head_).substr(0, i));
            head_.clear();
            head_.shrink_to_fit();
            return s;
        }
    }
    // A CR LF that may yet be completed is looked at again with the next bytes.
    scan_ = head_.size() >= 2 ? head_.size() - 2 : 0;
    if (head_.size() >= max_) return fail(431, "the request head is longer than " + std::to_string(max_) + " bytes");
    return state_;
}

HttpRequestParser::Status HttpRequestParser::parse_head(std::string_view head) {
    int hosts = 0;
    long long contentLength = 0;
    bool first = true;
    while (!head.empty() || first) {
        std::size_t end = head.find('\n');
        std::string_view line = head.substr(0, end);
        head = end == std::string_view::npos ? std::string_view{} : head.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find('\r') != std::string_view::npos) return fail(400, "a bare CR in the request head");
        if (first) {
            first = false;
            if (!request_line(line)) return state_;
            continue;
        }
        if (!header_line(line, hosts, contentLength)) return state_;
    }
    if (request_.minorVersion >= 1 && hosts != 1)
        return fail(400, hosts == 0 ? "an HTTP/1.1 request without a Host header" : "more than one Host header");
    if (contentLength > 0) request_.hasBody = true;
    return state_ = Status::ready;
}

bool HttpRequestParser::request_line(std::string_view line) {
    std::size_t sp1 = line.find(' ');
    std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
        fail(400, "the request line is not 'method target version'");
        return false;
    }
    std::string_view method = line.substr(0, sp1), target = line.substr(sp1 + 1, sp2 - sp1 - 1),
                     version = line.substr(sp2 + 1);
    if (!token(method)) {
        fail(400, "an invalid method");
        return false;
    }
    if (version.size() != 8 || !version.starts_with("HTTP/") || version[6] != '.' || version[5] < '0' ||
        version[5] > '9' || version[7] < '0' || version[7] > '9') {
        fail(400, "an invalid HTTP version");
        return false;
    }
    if (version[5] != '1') {
        fail(505, "HTTP version " + std::string(version.substr(5)) + " is not served");
        return false;
    }
    if (target.empty() ||
        std::any_of(target.begin(), target.end(), [](char c) { return c <= ' ' || c == 0x7F; })) {
        fail(400, "an invalid request target");
        return false;
    }
    std::string_view path = target;
    // The absolute form names the server too; only its path matters here.
    if (std::size_t scheme = path.find("://"); scheme != std::string_view::npos && path.front() != '/') {
        std::size_t slash = path.find('/', scheme + 3);
        path = slash == std::string_view::npos ? std::string_view("/") : path.substr(slash);
    } else if (path.front() != '/' && path != "*") {
        fail(400, "an invalid request target");
        return false;
    }
    path = path.substr(0, path.find_first_of("?#"));
    request_.method = method;
    request_.target = target;
    request_.path = path;
    request_.minorVersion = version[7] - '0';
    return true;
}

bool HttpRequestParser::header_line(std::string_view line, int &hosts, long long &contentLength) {
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
        fail(400, "a folded header line");
        return false;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !token(line.substr(0, colon))) {
        fail(400, "an invalid header line");
        return false;
    }
    std::string_view name = line.substr(0, colon), value = trim_blanks(line.substr(colon + 1));
    if (std::any_of(value.begin(), value.end(),
                    [](char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F; })) {
        fail(400, "a control character in header " + std::string(name));
        return false;
    }
    if (equal_ignoring_case(name, "host")) {
        ++hosts;
    } else if (equal_ignoring_case(name, "transfer-encoding")) {
        request_.hasBody = true;
    } else if (equal_ignoring_case(name, "content-length")) {
        long long n = 0;
        bool valid = !value.empty() && value.size() <= 18 &&
                     std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        for (char c : value) n = n * 10 + (c - '0');
        if (!valid || (contentLength > 0 && n != contentLength)) {
            fail(400, "an invalid Content-Length");
            return false;
        }
        contentLength = n;
    }
    return true;
}

}  // namespace vavevard
