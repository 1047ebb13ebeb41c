// The inbound event message (daemon to client): a push parser for what
// follows its message line, fed from an input buffer in pieces of any size.
//
// The rules are the daemon connection's: every header name is skipped by its
// length without being read (so a header of another name but the same length
// counts as the expected one), the properties come in the order sent and are
// kept newest first, the body is followed by an address list that is skipped
// unread, and decimal numbers are read with lumo_wire_atoi (the time headers
// with lumo_wire_extract_number).
#pragma once

#include <cstdint>
#include <string_view>

#include "notification/notification.h"
#include "port/bytebuf.h"
#include "port/inbuf.h"

namespace vavevar {

class EventReader {
public:
    enum class Status { need_more, done, failed };

    EventReader() noexcept = default;
    ~EventReader() { reset(); }
    EventReader(const EventReader &) = delete;
    EventReader &operator=(const EventReader &) = delete;

    // Takes from `in` what belongs to the event. `done` once the event is
    // whole; `need_more` keeps the partial event for the next call; `failed`
    // (a class nobody knows, which is reported on standard error, an empty
    // identifier list, or memory running out) releases it, and stays until
    // reset(), since the stream is out of step.
    Status parse(InputBuffer &in) noexcept;

    // After `done`: hands over the notification and a new array of *count
    // subscriber identifiers (release with lumo_free); the reader is ready
    // for the next event.
    lumo_notification *take(std::int32_t **ids, std::int32_t *count) noexcept;

    // Drops a partial event and any failure.
    void reset() noexcept;

    // While the body comes in, the bytes its current block still misses: a
    // body of up to 64 KiB has its room at once, in the record's block; a
    // larger one's block grows with what arrives (first at most 1 MiB, then
    // doubling up to the announced length), so a length that is announced
    // but never sent costs little more memory than what came. 0 at any other
    // time.
    std::uint32_t body_missing() const noexcept;

private:
    enum class Field : std::uint8_t {
        className, subscriberId, eventType, eventId, creationTime, deliveryTime,
        affectedComponents, affectedNodes, generatingComponent, generatingProcess,
        generatingNode, instanceName, localOnly, numberOfProperties, properties, streamKey,
        contentLength, addrListLength, lineEnd, body, addrList, done, failed,
    };

    static std::string_view header_of(Field field) noexcept;
    Status fail() noexcept;
    bool start(Field field) noexcept;
    bool value(const char *text, std::size_t length) noexcept;
    bool ids(const char *text) noexcept;
    bool property(char *line) noexcept;
    bool body(InputBuffer &in) noexcept;
    bool grow_body() noexcept;
    Field after_headers() const noexcept;

    // The header texts are kept back to back until the headers end, then
    // placed with the record in one block (lumo_notification_assemble).
    bool keep(NotificationText which, const char *text, std::size_t length) noexcept;
    bool assemble() noexcept;

    Field field_ = Field::className;
    std::size_t skip_ = header_of(Field::className).size();  // header name bytes still to skip
    lumo_notification head_{};  // the scalar fields read so far
    ByteBuffer texts_;
    ReceivedTexts at_{};       // where each text starts in texts_
    lumo_notification *n_ = nullptr;  // once the headers are whole
    char *body_ = nullptr;  // the body while it comes in
    char *inlineBody_ = nullptr;  // its room in n_'s block, when it has one
    std::int32_t *ids_ = nullptr;
    std::int32_t idCount_ = 0;
    std::int32_t propertiesLeft_ = 0;
    std::int32_t bodyLength_ = 0;
    std::int32_t addrListLeft_ = 0;
    std::uint32_t bodyDone_ = 0;
    std::uint32_t bodyBlock_ = 0;  // bytes the body's block holds room for
};

}  // namespace vavevar
