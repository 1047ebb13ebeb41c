// The requests a client sends, and the incremental parser that cuts them out
// of the byte stream of one connection.
//
// The parser accepts any split of the stream (one byte at a time included)
// and holds at most one line, or one bounded body, beyond what it has parsed.
// Every bound of `Limits` that the input crosses is an error naming the bound;
// after an error the parser stays failed, because the stream is out of step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "notification.h"
#include "request_limits.h"

namespace vavevard {

struct ConnectRequest {
    std::string version;
    std::string formFactor;  // as the client's file holds it, line breaks included
    std::string selfId;
};

struct SubscribeRequest {
    std::int32_t subscriberId = 0;
    std::string subscription;  // "null" when the client had none
    std::string component;
    std::string mbrInterest;   // "null" or empty: no membership interest
    bool deltas = false;
    std::vector<Property> properties;
    // Made again by a library after it reconnected: held events are replayed
    // to it while the daemon's replay window is open.
    bool resubscribe = false;
};

struct UnsubscribeRequest {
    std::int32_t subscriberId = 0;
};

struct EventRequest {
    Notification event;
    bool unknownClass = false;  // a class name no subscriber could read
    std::string className;      // as written, for the log
};

struct StatsRequest {};

using Request =
    std::variant<ConnectRequest, SubscribeRequest, UnsubscribeRequest, EventRequest, StatsRequest>;

class RequestParser {
public:
    explicit RequestParser(const Limits &limits) : limits_(limits) {}

    enum class Status { need_more, ready, error };

    void feed(const char *data, std::size_t size);

    // Parses the next request out of what was fed: `ready` fills `out`,
    // `need_more` keeps the partial request for the next feed, `error` is
    // final and `error()` says what was wrong and where. A caller that hands
    // the same `out` back for the next request lets an event reuse the
    // buffers of the one before.
    Status next(Request &out);

    const std::string &error() const noexcept { return error_; }
    // Bytes fed and not yet consumed by a complete request or line.
    std::size_t buffered() const noexcept { return buf_.size() - pos_; }

    // What the parser holds: its buffer, the request being parsed (an upper
    // bound: what it keeps of a request is a part of what it read) and the
    // emptied buffers it keeps for the next event.
    std::size_t held() const noexcept { return buf_.capacity() + requestBytes_ + keptBytes_; }

    // Before the handshake a connection may only connect or ask for the
    // stats, in a request of at most `maxHandshakeBytes`: anything else is an
    // error at its request line, before its headers or body are kept.
    void set_handshake_only(bool on) noexcept { handshakeOnly_ = on; }

    // Gives back the buffer's spare capacity once nothing is waiting in it,
    // so that an idle connection does not keep what its largest read needed.
    void shrink() noexcept;

private:
    enum class Stage { request_line, headers, properties, body, addrlist };
    enum class Kind { connect, subscribe, unsubscribe, event, stats };

    bool take_line(std::string_view &line);
    [[gnu::cold]] void line_too_long();
    [[gnu::cold]] void handshake_too_long();
    bool start_request(std::string_view line);
    bool header(std::string_view line);
    bool event_header(std::string_view name, std::string_view value);
    bool subscribe_header(std::string_view name, std::string_view value);
    bool connect_line(std::string_view line);
    bool end_of_headers();
    bool number(std::string_view name, std::string_view value, std::int64_t min, std::int64_t max,
                std::int64_t &out);
    void clear_event() noexcept;
    Status fail(std::string message);
    Status finish(Request &out);

    Limits limits_;
    std::string buf_;
    std::size_t pos_ = 0;   // first byte not yet consumed
    std::size_t scan_ = 0;  // where the search for the next LF resumes
    std::string error_;

    Stage stage_ = Stage::request_line;
    Kind kind_ = Kind::event;
    std::string resource_;
    std::size_t lineNo_ = 0;
    std::size_t requestBytes_ = 0;  // read of the request being parsed
    std::size_t keptBytes_ = 0;     // capacity of the emptied event fields
    bool handshakeOnly_ = false;
    std::size_t headerLines_ = 0;
    std::size_t propertiesLeft_ = 0;
    std::size_t bodyLeft_ = 0;
    std::size_t addrListLeft_ = 0;
    std::int64_t contentLength_ = 0;
    bool haveSubscriberId_ = false;
    bool haveClassName_ = false;
    bool inFormFactor_ = false;

    ConnectRequest connect_;
    SubscribeRequest subscribe_;
    UnsubscribeRequest unsubscribe_;
    EventRequest event_;
};

}  // namespace vavevard
