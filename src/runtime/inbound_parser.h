// What the daemon sends on a connection, cut into messages by a push parser:
// the connect reply, then status answers, events (also replayed ones) and
// gap notices, each introduced by its message line. The parser never touches a socket; the receiver reads into
// its room (space()/filled()) or tests feed it, in pieces of any size down to
// single bytes.
//
// Memory stays bounded: besides the room for the next read the parser holds
// at most one line, or one announced body, beyond what it has parsed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "notification/event_read.h"
#include "port/inbuf.h"

namespace vavevar {

struct InboundMessage {
    enum class Kind {
        // Line 9 of the connect reply names the instance. It is handed out as
        // soon as it is read, so a reply that breaks off later still names it.
        instance_name,
        // The connect reply's empty line; `success` says whether line 3
        // accepted the connection.
        connect_reply,
        status,
        event,
        // The daemon skipped `count` notifications for subscriber
        // `subscriberId` (a gap notice; one without a SubscriberID is
        // ignored).
        gap,
        // A message line naming neither an event nor a status answer; the
        // stream goes on with the next line.
        unknown_line,
    };

    Kind kind = Kind::unknown_line;
    // instance_name: the name; unknown_line: the whole line. Valid until the
    // next call on the parser.
    const char *text = nullptr;
    bool success = false;  // connect_reply: accepted; status: "Result: success"
    std::int32_t subscriberId = 0;              // status
    char *message = nullptr;                    // status: its Message text, or null
    lumo_notification *notification = nullptr;  // event
    std::int32_t *ids = nullptr;                // event: the subscriber identifiers
    std::int32_t idCount = 0;
    bool replayed = false;     // event: sent again after a reconnection ("POST /replay")
    std::uint64_t count = 0;   // gap
    // message, notification and ids become the caller's: lumo_free the texts
    // and arrays, lumo_notification_destroy the notification.
};

class InboundParser {
public:
    enum class Status { need_more, ready, failed };

    // `connecting`: the bytes start with the connect reply; otherwise with a
    // message line.
    explicit InboundParser(bool connecting = true) noexcept;
    ~InboundParser();
    InboundParser(const InboundParser &) = delete;
    InboundParser &operator=(const InboundParser &) = delete;

    // For a new connection: drops whatever the parser holds of the last one
    // and expects a connect reply again.
    void restart() noexcept;

    // Room for the next read (see InputBuffer::space); null when memory runs
    // out, which fails the parser.
    char *space(std::size_t *length) noexcept;
    void filled(std::size_t length) noexcept { in_.filled(length); }
    // Copies bytes in; false when memory runs out, which fails the parser.
    bool feed(const char *bytes, std::size_t length) noexcept;

    // The next complete message: `ready` fills `out`, `need_more` keeps a
    // partial message for later bytes, `failed` is final: a broken message
    // (an event the event reader refuses, a status answer that starts with
    // an empty line or has no SubscriberID) or memory running out leaves the
    // stream out of step, and the connection has to go.
    Status next(InboundMessage &out) noexcept;

    // While an event's body comes in, the bytes its current block still
    // misses (EventReader::body_missing); 0 at any other time.
    std::uint32_t body_missing() const noexcept;

    std::size_t held() const noexcept { return in_.held(); }

private:
    enum class Stage { reply, message_line, event, status, gap, failed };

    Status fail() noexcept;
    Status reply_line(const char *line, InboundMessage &out) noexcept;
    void status_line(char *line) noexcept;

    InputBuffer in_;
    EventReader event_;
    Stage stage_;
    int lineNo_ = 0;
    bool success_ = false;
    bool haveId_ = false;
    bool replayed_ = false;
    std::int32_t id_ = 0;
    std::uint64_t skipped_ = 0;
    char *message_ = nullptr;
};

}  // namespace vavevar
