#include "notification/event_read.h"

#include <climits>
#include <cstring>
#include <string_view>

#include "port/decimal.h"
#include "port/diag.h"
#include "port/memory.h"
#include "wire/event_texts.h"

namespace vavevar {
namespace {

constexpr std::uint32_t kFirstBodyBlock = 1u << 20;
constexpr std::size_t kKeptTextBytes = 64 * 1024;
// A body up to this size shares the record's block.
constexpr std::int32_t kInlineBodyBytes = 64 * 1024;

}  // namespace

// The header whose value a field is; its name is skipped by this length.
// Fields that are not a header line have none.
std::string_view EventReader::header_of(Field field) noexcept {
    switch (field) {
    case Field::className: return wire::kClassName;
    case Field::subscriberId: return wire::kSubscriberId;
    case Field::eventType: return wire::kEventType;
    case Field::eventId: return wire::kEventId;
    case Field::creationTime: return wire::kCreationTime;
    case Field::deliveryTime: return wire::kDeliveryTime;
    case Field::affectedComponents: return wire::kAffectedComponents;
    case Field::affectedNodes: return wire::kAffectedNodes;
    case Field::generatingComponent: return wire::kGeneratingComponent;
    case Field::generatingProcess: return wire::kGeneratingProcess;
    case Field::generatingNode: return wire::kGeneratingNode;
    case Field::instanceName: return wire::kInstanceName;
    case Field::localOnly: return wire::kLocalOnly;
    case Field::numberOfProperties: return wire::kNumberOfProperties;
    case Field::streamKey: return wire::kStreamKey;
    case Field::contentLength: return wire::kContentLength;
    case Field::addrListLength: return wire::kAddrListLength;
    default: return {};
    }
}

EventReader::Status EventReader::fail() noexcept {
    reset();
    field_ = Field::failed;
    return Status::failed;
}

// Moves on to `field`; false when memory for what it needs runs out.
bool EventReader::start(Field field) noexcept {
    field_ = field;
    skip_ = header_of(field).size();
    switch (field) {
    case Field::lineEnd:
        skip_ = wire::kLineEnd.size();
        return true;
    case Field::body: {
        bodyDone_ = 0;
        if (inlineBody_ != nullptr) {
            bodyBlock_ = static_cast<std::uint32_t>(bodyLength_);
            body_ = inlineBody_;
            return true;
        }
        bodyBlock_ = static_cast<std::uint32_t>(bodyLength_) < kFirstBodyBlock
                         ? static_cast<std::uint32_t>(bodyLength_)
                         : kFirstBodyBlock;
        body_ = static_cast<char *>(lumo_malloc(std::size_t{bodyBlock_} + 1));
        return body_ != nullptr;
    }
    default:
        return true;
    }
}

EventReader::Field EventReader::after_headers() const noexcept {
    if (head_.notificationClass == kIncomingStreamingNotification) return Field::streamKey;
    return Field::contentLength;
}

bool EventReader::ids(const char *text) noexcept {
    if (*text == '\0') return false;
    std::size_t count = 1;
    for (const char *c = text; *c != '\0'; ++c) count += *c == ';';
    if (count > INT32_MAX) return false;
    ids_ = static_cast<std::int32_t *>(lumo_malloc(count * sizeof(std::int32_t)));
    if (ids_ == nullptr) return false;
    idCount_ = static_cast<std::int32_t>(count);
    const char *piece = text;
    for (std::size_t i = 0; i < count; ++i) {
        ids_[i] = lumo_wire_atoi(piece);
        const char *separator = std::strchr(piece, ';');
        piece = separator != nullptr ? separator + 1 : piece + std::strlen(piece);
    }
    return true;
}

bool EventReader::keep(NotificationText which, const char *text, std::size_t length) noexcept {
    at_.at[static_cast<std::size_t>(which)] = texts_.size() + 1;
    return texts_.append(text, length + 1);
}

// "name: value" with the name before the first colon and the value from the
// second character after it; a line without a colon carries no property.
bool EventReader::property(char *line) noexcept {
    char *colon = std::strchr(line, ':');
    if (colon == nullptr) return true;
    *colon = '\0';
    const char *value = colon[1] != '\0' ? colon + 2 : "";
    if (at_.propertyCount == 0) at_.propertiesAt = texts_.size();
    ++at_.propertyCount;
    return texts_.append(line, static_cast<std::size_t>(colon - line) + 1) &&
           texts_.append(value, std::strlen(value) + 1);
}

// The headers are whole: the record and its texts become one block, with
// room for a body that is not too large to be had at once (a stream's
// body is handed on alone, so it always comes apart).
bool EventReader::assemble() noexcept {
    const bool inside = bodyLength_ > 0 && bodyLength_ <= kInlineBodyBytes &&
                        head_.notificationClass != kIncomingStreamingNotification;
    const std::size_t room = inside ? static_cast<std::size_t>(bodyLength_) + 1 : 0;
    n_ = lumo_notification_assemble(head_, texts_.data(), texts_.size(), at_, room, &inlineBody_);
    return n_ != nullptr;
}

// Takes the value of the current header field and moves on; false ends the
// event as failed.
bool EventReader::value(const char *text, std::size_t length) noexcept {
    auto copy = [&](NotificationText which, Field next) { return keep(which, text, length) && start(next); };
    using enum NotificationText;
    switch (field_) {
    case Field::className:
        head_.notificationClass = wire::class_from_name(text).value_or(kUnknownNotificationClass);
        return start(Field::subscriberId);
    case Field::subscriberId: return ids(text) && start(Field::eventType);
    case Field::eventType: return copy(type, Field::eventId);
    case Field::eventId: return copy(id, Field::creationTime);
    case Field::creationTime:
        head_.creationTime = lumo_wire_extract_number(text);
        return start(Field::deliveryTime);
    case Field::deliveryTime:
        head_.deliveryTime = lumo_wire_extract_number(text);
        if (head_.notificationClass == kUnknownNotificationClass) {
            lumo_log("Notification Read Error: unknown class of notification\n");
            return false;
        }
        return start(wire::is_full_form(head_.notificationClass) ? Field::affectedComponents
                                                                  : Field::contentLength);
    case Field::affectedComponents: return copy(affectedComponents, Field::affectedNodes);
    case Field::affectedNodes: return copy(affectedNodes, Field::generatingComponent);
    case Field::generatingComponent: return copy(generatingComponent, Field::generatingProcess);
    case Field::generatingProcess: return copy(generatingProcess, Field::generatingNode);
    case Field::generatingNode: return copy(generatingNode, Field::instanceName);
    case Field::instanceName: return copy(instanceName, Field::localOnly);
    case Field::localOnly:
        head_.localOnly = text == wire::kTrue ? 1 : 0;
        return start(Field::numberOfProperties);
    case Field::numberOfProperties:
        propertiesLeft_ = lumo_wire_atoi(text);
        return start(propertiesLeft_ > 0 ? Field::properties : after_headers());
    case Field::streamKey: return copy(streamKey, Field::contentLength);
    case Field::contentLength:
        bodyLength_ = lumo_wire_atoi(text);
        return start(Field::addrListLength);
    case Field::addrListLength:
        addrListLeft_ = lumo_wire_atoi(text);
        return assemble() && start(Field::lineEnd);
    default:
        return false;
    }
}

// The block grows only once it is full and more is announced.
bool EventReader::grow_body() noexcept {
    const auto length = static_cast<std::uint32_t>(bodyLength_);
    std::uint32_t capacity = length - bodyBlock_ < bodyBlock_ ? length : bodyBlock_ * 2;
    auto *grown = static_cast<char *>(lumo_realloc(body_, std::size_t{capacity} + 1));
    if (grown == nullptr) return false;
    body_ = grown;
    bodyBlock_ = capacity;
    return true;
}

bool EventReader::body(InputBuffer &in) noexcept {
    for (;;) {
        bodyDone_ += static_cast<std::uint32_t>(in.take(body_ + bodyDone_, bodyBlock_ - bodyDone_));
        if (bodyDone_ < bodyBlock_) return true;
        if (bodyDone_ == static_cast<std::uint32_t>(bodyLength_)) {
            body_[bodyDone_] = '\0';
            n_->body = body_;
            n_->bodyLength = bodyLength_;
            body_ = nullptr;
            return true;
        }
        if (!grow_body()) return false;
    }
}

EventReader::Status EventReader::parse(InputBuffer &in) noexcept {
    if (field_ == Field::failed) return Status::failed;
    for (;;) {
        switch (field_) {
        case Field::done: return Status::done;
        case Field::failed: return Status::failed;
        case Field::properties: {
            char *line = in.take_line();
            if (line == nullptr) return Status::need_more;
            if (!property(line)) return fail();
            if (--propertiesLeft_ == 0) start(after_headers());
            break;
        }
        case Field::lineEnd:
            skip_ -= in.skip(skip_);
            if (skip_ > 0) return Status::need_more;
            if (bodyLength_ > 0) {
                if (!start(Field::body)) return fail();
            } else {
                start(Field::addrList);
            }
            break;
        case Field::body:
            if (!body(in)) return fail();
            if (body_ != nullptr) return Status::need_more;
            start(Field::addrList);
            break;
        case Field::addrList:
            // No address list is used; it is consumed only to keep the
            // stream in step, without ever holding it.
            if (addrListLeft_ > 0) {
                std::size_t skipped = in.skip(static_cast<std::size_t>(addrListLeft_));
                addrListLeft_ -= static_cast<std::int32_t>(skipped);
                if (addrListLeft_ > 0) return Status::need_more;
            }
            field_ = Field::done;
            break;
        default: {
            skip_ -= in.skip(skip_);
            if (skip_ > 0) return Status::need_more;
            std::size_t length;
            char *line = in.take_line(&length);
            if (line == nullptr) return Status::need_more;
            if (!value(line, length)) return fail();
            break;
        }
        }
    }
}

lumo_notification *EventReader::take(std::int32_t **ids, std::int32_t *count) noexcept {
    if (field_ != Field::done) {
        *ids = nullptr;
        *count = 0;
        return nullptr;
    }
    lumo_notification *n = n_;
    *ids = ids_;
    *count = idCount_;
    n_ = nullptr;
    ids_ = nullptr;
    reset();
    return n;
}

void EventReader::reset() noexcept {
    if (body_ != inlineBody_) lumo_free(body_);
    lumo_notification_destroy(n_);  // an inline body goes with it
    lumo_free(ids_);
    inlineBody_ = nullptr;
    n_ = nullptr;
    ids_ = nullptr;
    body_ = nullptr;
    head_ = lumo_notification{};
    // The texts' room is kept for the next event, unless one was unusually large.
    if (texts_.capacity() > kKeptTextBytes) texts_.release();
    texts_.truncate(0);
    at_ = ReceivedTexts{};
    idCount_ = propertiesLeft_ = bodyLength_ = addrListLeft_ = 0;
    bodyDone_ = bodyBlock_ = 0;
    field_ = Field::className;
    skip_ = header_of(Field::className).size();
}

std::uint32_t EventReader::body_missing() const noexcept {
    return field_ == Field::body && body_ != nullptr ? bodyBlock_ - bodyDone_ : 0;
}

}  // namespace vavevar
