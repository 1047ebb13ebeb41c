#include "request.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "wire/control_texts.h"
#include "wire/event_texts.h"
#include "wire/flow_texts.h"

namespace vavevard {
namespace {

// What a string holds without a heap buffer.
const std::size_t kLocalCapacity = std::string().capacity();

// Names of the event headers, as a client's library writes them.
using vavevar::wire::name_of;
namespace wire = vavevar::wire;

// Splits "name: value" at the first colon. One blank after the colon is what
// clients write; a missing blank is tolerated.
[[gnu::always_inline]] inline bool split_header(std::string_view line, std::string_view &name,
                                                std::string_view &value) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    name = line.substr(0, colon);
    value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    return true;
}

std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 60;
    std::string out = "'";
    for (char c : text.substr(0, kShown)) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    out += text.size() > kShown ? "'..." : "'";
    return out;
}

const char *kind_name(int kind) {
    static constexpr const char *names[] = {"connect", "subscribe", "unsubscribe", "event",
                                            "stats"};
    return names[kind];
}

}  // namespace

void RequestParser::feed(const char *data, std::size_t size) {
    if (!error_.empty()) return;
    // Reclaim consumed bytes before growing, so a long-lived connection keeps
    // a buffer of about one request.
    if (pos_ > 0 && (pos_ == buf_.size() || pos_ >= buf_.size() / 2)) {
        buf_.erase(0, pos_);
        scan_ = scan_ > pos_ ? scan_ - pos_ : 0;
        pos_ = 0;
    }
    buf_.append(data, size);
}

void RequestParser::shrink() noexcept {
    if (pos_ != buf_.size() || buf_.capacity() <= 4096) return;
    buf_.clear();
    buf_.shrink_to_fit();
    pos_ = scan_ = 0;
}

RequestParser::Status RequestParser::fail(std::string message) {
    error_ = std::move(message);
    return Status::error;
}

// take_line(), header() and the header splitting and dispatch run for every
// line of every request: they are inlined into next(), since as calls they
// cost about as much as the little work each does.
[[gnu::always_inline]] inline bool RequestParser::take_line(std::string_view &line) {
    std::size_t from = scan_ > pos_ ? scan_ : pos_;
    const char *data = buf_.data();
    const void *found = std::memchr(data + from, '\n', buf_.size() - from);
    if (found == nullptr) [[unlikely]] {
        scan_ = buf_.size();
        // A CR may still come before the LF, so one byte more is allowed.
        if (buf_.size() - pos_ > limits_.maxLineBytes + 1) line_too_long();
        return false;
    }
    std::size_t lf = static_cast<std::size_t>(static_cast<const char *>(found) - data);
    std::size_t end = lf;
    if (end > pos_ && data[end - 1] == '\r') --end;
    if (end - pos_ > limits_.maxLineBytes) [[unlikely]] {
        line_too_long();
        return false;
    }
    line = std::string_view(data + pos_, end - pos_);
    requestBytes_ += lf + 1 - pos_;
    if (handshakeOnly_ && requestBytes_ > limits_.maxHandshakeBytes) [[unlikely]] {
        handshake_too_long();
        return false;
    }
    pos_ = lf + 1;
    scan_ = pos_;
    ++lineNo_;
    return true;
}

// Errors are built out of line, so that the loop over lines stays small.
void RequestParser::line_too_long() {
    error_ = "line longer than " + std::to_string(limits_.maxLineBytes) + " bytes";
}

void RequestParser::handshake_too_long() {
    error_ = "a request before the handshake longer than " + std::to_string(limits_.maxHandshakeBytes) +
             " bytes";
}

bool RequestParser::number(std::string_view name, std::string_view value, std::int64_t min,
                           std::int64_t max, std::int64_t &out) {
    std::string_view digits = value;
    bool negative = !digits.empty() && digits.front() == '-';
    if (negative) digits.remove_prefix(1);
    // Eighteen digits always fit in 64 bits, and every bound is smaller.
    std::int64_t n = 0;
    bool ok = !digits.empty() && digits.size() <= 18;
    for (std::size_t i = 0; ok && i < digits.size(); ++i) {
        char c = digits[i];
        ok = c >= '0' && c <= '9';
        n = n * 10 + (c - '0');
    }
    if (negative) n = -n;
    if (!ok || n < min || n > max) {
        error_ = "line " + std::to_string(lineNo_) + " of the " + kind_name(int(kind_)) +
                 " request: " + std::string(name) + " must be a number from " +
                 std::to_string(min) + " to " + std::to_string(max) + ", not " + quoted(value);
        return false;
    }
    out = n;
    return true;
}

bool RequestParser::start_request(std::string_view line) {
    if (!line.starts_with(wire::kMessageLineStart)) {
        error_ = "request line " + quoted(line) + " does not start with \"" +
                 std::string(wire::kMessageLineStart) + "\"";
        return false;
    }
    std::string_view resource = line.substr(wire::kMessageLineStart.size());
    std::size_t blank = resource.find(' ');
    std::string_view rest = blank == std::string_view::npos ? std::string_view{} : resource.substr(blank);
    resource = resource.substr(0, blank);
    if (!rest.empty() && rest != " HTTP/1.1" && rest != " HTTP/1.0") {
        error_ = "request line " + quoted(line) + " has an unknown protocol";
        return false;
    }
    using wire::resource_of;
    if (resource == resource_of(wire::kConnectLine)) kind_ = Kind::connect;
    else if (resource == resource_of(wire::kSubscribeLine)) kind_ = Kind::subscribe;
    else if (resource == resource_of(wire::kUnsubscribeLine)) kind_ = Kind::unsubscribe;
    else if (resource == resource_of(wire::kEventLine)) kind_ = Kind::event;
    else if (resource == resource_of(wire::kStatsLine)) kind_ = Kind::stats;
    else {
        error_ = "unknown request " + quoted(line);
        return false;
    }
    if (handshakeOnly_ && kind_ != Kind::connect && kind_ != Kind::stats) {
        error_ = std::string("a ") + kind_name(int(kind_)) + " request before the connect handshake";
        return false;
    }
    stage_ = Stage::headers;
    headerLines_ = 0;
    contentLength_ = 0;
    haveSubscriberId_ = false;
    haveClassName_ = false;
    inFormFactor_ = false;
    switch (kind_) {
    case Kind::connect: connect_ = {}; break;
    case Kind::subscribe: subscribe_ = {}; break;
    case Kind::unsubscribe: unsubscribe_ = {}; break;
    case Kind::event: break;  // emptied when the one before was handed out
    case Kind::stats: break;
    }
    return true;
}

// Events come in floods: their fields are emptied in place, so that the next
// event fills the same buffers rather than allocating its own. A buffer that
// grew large is let go, so that a connection does not keep what one large
// event needed.
void RequestParser::clear_event() noexcept {
    constexpr std::size_t kKept = 1024;
    keptBytes_ = event_.event.clear_keeping(kKept);
    if (event_.className.capacity() > kKept) std::string().swap(event_.className);
    else event_.className.clear();
    if (event_.className.capacity() > kLocalCapacity) keptBytes_ += event_.className.capacity();
    event_.unknownClass = false;
}

// Dispatched on the name's length first, so that each header is compared
// with the one or few names of its length rather than with all of them.
[[gnu::always_inline]] inline bool RequestParser::event_header(std::string_view name,
                                                              std::string_view value) {
    Notification &e = event_.event;
    std::int64_t n = 0;
    auto is = [name](std::string_view header) { return name == name_of(header); };
    switch (name.size()) {
    case name_of(wire::kEventId).size():
        if (is(wire::kEventId)) e.id = value;
        break;
    case name_of(wire::kClassName).size():  // also eventType, LocalOnly, streamKey
        static_assert(name_of(wire::kEventType).size() == name_of(wire::kClassName).size() &&
                      name_of(wire::kLocalOnly).size() == name_of(wire::kClassName).size() &&
                      name_of(wire::kStreamKey).size() == name_of(wire::kClassName).size());
        if (is(wire::kClassName)) {
            haveClassName_ = true;
            event_.className = value;
            auto cls = class_from_name(value);
            event_.unknownClass = !cls;
            e.cls = cls.value_or(kMessageNotification);
        } else if (is(wire::kEventType)) e.type = value;
        else if (is(wire::kLocalOnly)) e.localOnly = value == wire::kTrue;
        else if (is(wire::kStreamKey)) e.streamKey = value;
        break;
    case name_of(wire::kSubscriberId).size():  // also instanceName
        static_assert(name_of(wire::kInstanceName).size() == name_of(wire::kSubscriberId).size());
        if (is(wire::kSubscriberId)) {
            if (!number(name, value, INT32_MIN, INT32_MAX, n)) return false;
            e.publisherSubscriberId = static_cast<std::int32_t>(n);
        } else if (is(wire::kInstanceName)) e.instanceName = value;
        break;
    case name_of(wire::kAffectedNodes).size():
        if (is(wire::kAffectedNodes)) e.affectedNodes = value;
        break;
    case name_of(wire::kGeneratingNode).size():
        if (is(wire::kGeneratingNode)) e.generatingNode = value;
        break;
    case name_of(wire::kAddrListLength).size():
        if (is(wire::kAddrListLength)) {
            if (!number(name, value, 0, std::int64_t(limits_.maxBodyBytes), n)) return false;
            addrListLeft_ = static_cast<std::size_t>(n);
        }
        break;
    case name_of(wire::kGeneratingProcess).size():
        if (is(wire::kGeneratingProcess)) e.generatingProcess = value;
        break;
    case name_of(wire::kAffectedComponents).size():
        if (is(wire::kAffectedComponents)) e.affectedComponents = value;
        break;
    case name_of(wire::kGeneratingComponent).size():
        if (is(wire::kGeneratingComponent)) e.generatingComponent = value;
        break;
    default: break;
    }
    return true;
}

bool RequestParser::subscribe_header(std::string_view name, std::string_view value) {
    std::int64_t n = 0;
    if (name == name_of(wire::kSubscriberId)) {
        if (!number(name, value, INT32_MIN, INT32_MAX, n)) return false;
        haveSubscriberId_ = true;
        subscribe_.subscriberId = unsubscribe_.subscriberId = static_cast<std::int32_t>(n);
    } else if (kind_ == Kind::subscribe) {
        if (name == name_of(wire::kSubscription)) subscribe_.subscription = value;
        else if (name == name_of(wire::kComponent)) subscribe_.component = value;
        else if (name == name_of(wire::kMbrInterest)) subscribe_.mbrInterest = value;
        else if (name == name_of(wire::kMbrDeltas)) subscribe_.deltas = value == wire::kTrue;
        else if (name == name_of(wire::kResubscribe)) subscribe_.resubscribe = value == wire::kTrue;
    }
    return true;
}

// The form factor is a file's content sent as it is, so it may hold line
// breaks and even empty lines; it runs until the SelfId line.
bool RequestParser::connect_line(std::string_view line) {
    if (inFormFactor_ && !line.starts_with(wire::kSelfId)) {
        connect_.formFactor.append("\r\n");
        connect_.formFactor.append(line);
        return true;
    }
    std::string_view name, value;
    if (!split_header(line, name, value)) {
        error_ = "line " + std::to_string(lineNo_) + " of the connect request: header " +
                 quoted(line) + " has no ':'";
        return false;
    }
    inFormFactor_ = false;
    if (name == name_of(wire::kVersion)) connect_.version = value;
    else if (name == name_of(wire::kFormFactor)) {
        connect_.formFactor = value;
        inFormFactor_ = true;
    } else if (name == name_of(wire::kSelfId)) connect_.selfId = value;
    return true;
}

[[gnu::always_inline]] inline bool RequestParser::header(std::string_view line) {
    if (++headerLines_ > limits_.maxHeaderLines) {
        error_ = "more than " + std::to_string(limits_.maxHeaderLines) + " header lines in a " +
                 kind_name(int(kind_)) + " request";
        return false;
    }
    if (kind_ == Kind::connect) return connect_line(line);
    std::string_view name, value;
    if (!split_header(line, name, value)) {
        error_ = "line " + std::to_string(lineNo_) + " of the " + kind_name(int(kind_)) +
                 " request: header " + quoted(line) + " has no ':'";
        return false;
    }
    std::int64_t n = 0;
    if (name == name_of(wire::kContentLength)) {
        if (!number(name, value, 0, std::int64_t(limits_.maxBodyBytes), contentLength_)) {
            if (contentLength_ == 0 && value.find_first_not_of("0123456789") == std::string_view::npos)
                error_ = "body of " + std::string(value) + " bytes is over the limit of " +
                         std::to_string(limits_.maxBodyBytes) + " bytes";
            return false;
        }
        return true;
    }
    if (name == name_of(wire::kNumberOfProperties) && (kind_ == Kind::event || kind_ == Kind::subscribe)) {
        // Counted over the whole request: a repeated count line adds up.
        std::size_t already = (kind_ == Kind::event ? event_.event.properties : subscribe_.properties).size();
        if (!number(name, value, 0, std::int64_t(limits_.maxProperties - already), n)) return false;
        propertiesLeft_ = static_cast<std::size_t>(n);
        if (propertiesLeft_ > 0) stage_ = Stage::properties;
        return true;
    }
    switch (kind_) {
    case Kind::event: return event_header(name, value);
    case Kind::subscribe:
    case Kind::unsubscribe: return subscribe_header(name, value);
    default: return true;
    }
}

bool RequestParser::end_of_headers() {
    const char *what = kind_name(int(kind_));
    if ((kind_ == Kind::subscribe || kind_ == Kind::unsubscribe) && !haveSubscriberId_) {
        error_ = std::string(what) + " request without a SubscriberID header";
        return false;
    }
    if (kind_ == Kind::event && !haveClassName_) {
        error_ = "event request without a className header";
        return false;
    }
    if (contentLength_ > 0 && kind_ != Kind::event) {
        error_ = std::string(what) + " request announces a body, which it may not have";
        return false;
    }
    bodyLeft_ = static_cast<std::size_t>(contentLength_);
    stage_ = Stage::body;
    return true;
}

RequestParser::Status RequestParser::finish(Request &out) {
    stage_ = Stage::request_line;
    requestBytes_ = 0;
    switch (kind_) {
    case Kind::connect: out = std::move(connect_); break;
    case Kind::subscribe: out = std::move(subscribe_); break;
    case Kind::unsubscribe: out = unsubscribe_; break;
    case Kind::event:
        // Moved over what the caller's last event left: this standard
        // library's strings, moved onto one another, hand the old buffer
        // back, so the two sets of buffers take turns (elsewhere the move
        // costs an allocation again, nothing more).
        if (auto *last = std::get_if<EventRequest>(&out)) *last = std::move(event_);
        else out = std::move(event_);
        clear_event();
        break;
    case Kind::stats: out = StatsRequest{}; break;
    }
    return Status::ready;
}

RequestParser::Status RequestParser::next(Request &out) {
    if (!error_.empty()) return Status::error;
    std::string_view line;
    for (;;) {
        switch (stage_) {
        case Stage::request_line:
            requestBytes_ = 0;
            if (!take_line(line)) return error_.empty() ? Status::need_more : Status::error;
            if (line.empty()) continue;  // blank lines between requests are harmless
            lineNo_ = 1;
            if (!start_request(line)) return Status::error;
            break;
        case Stage::headers:
            if (!take_line(line)) return error_.empty() ? Status::need_more : Status::error;
            if (line.empty() && !inFormFactor_) {
                if (!end_of_headers()) return Status::error;
            } else if (!header(line)) {
                return Status::error;
            }
            break;
        case Stage::properties: {
            if (!take_line(line)) return error_.empty() ? Status::need_more : Status::error;
            if (line.find(':') == std::string_view::npos)
                return fail("line " + std::to_string(lineNo_) + " of the " +
                            kind_name(int(kind_)) + " request: property " + quoted(line) +
                            " has no ':'");
            auto &props = kind_ == Kind::event ? event_.event.properties : subscribe_.properties;
            props.push_back(Property{std::string(line)});
            if (--propertiesLeft_ == 0) stage_ = Stage::headers;
            break;
        }
        case Stage::body: {
            std::size_t take = std::min(bodyLeft_, buf_.size() - pos_);
            event_.event.body.append(buf_, pos_, take);
            pos_ += take;
            requestBytes_ += take;
            bodyLeft_ -= take;
            if (bodyLeft_ > 0) return Status::need_more;
            stage_ = Stage::addrlist;
            break;
        }
        case Stage::addrlist: {
            // Nobody reads an address list on this machine; it is skipped.
            std::size_t take = std::min(addrListLeft_, buf_.size() - pos_);
            pos_ += take;
            addrListLeft_ -= take;
            if (addrListLeft_ > 0) return Status::need_more;
            return finish(out);
        }
        }
    }
}

}  // namespace vavevard
