#include "notification/event_write.h"

#include <string_view>

#include "wire/event_texts.h"
#include "wire/message_writer.h"

namespace vavevar {
namespace {

// A text the record does not have is written empty.
std::string_view text(const char *value) { return value != nullptr ? value : std::string_view{}; }

}  // namespace

bool lumo_event_write(const lumo_notification *n, const char *instanceName,
                     std::size_t instanceNameLength, ByteBuffer &out) noexcept {
    const std::size_t start = out.size();
    wire::MessageWriter<ByteBuffer> message(out);
    message.raw(wire::kEventLine);
    message.header(wire::kClassName, wire::class_name(n->notificationClass));
    message.number_header(wire::kSubscriberId, n->subscriberId);
    message.header(wire::kEventType, text(n->type));
    message.header(wire::kEventId, text(n->id));
    if (wire::is_full_form(n->notificationClass)) {
        message.header(wire::kAffectedComponents, text(n->affectedComponents));
        message.header(wire::kAffectedNodes, text(n->affectedNodes));
        message.header(wire::kGeneratingComponent, text(n->generatingComponent));
        message.header(wire::kGeneratingProcess, text(n->generatingProcess));
        message.header(wire::kGeneratingNode, text(n->generatingNode));
        message.header(wire::kInstanceName, instanceName != nullptr
                                                ? std::string_view(instanceName, instanceNameLength)
                                                : std::string_view{});
        message.header(wire::kLocalOnly, n->localOnly != 0 ? wire::kTrue : wire::kFalse);
        std::int64_t count = 0;
        for (const lumo_propnode *p = n->properties; p != nullptr; p = p->next) ++count;
        message.number_header(wire::kNumberOfProperties, count);
        for (const lumo_propnode *p = n->properties; p != nullptr; p = p->next)
            message.property(text(p->name), text(p->value));
        if (n->notificationClass == kIncomingStreamingNotification)
            message.header(wire::kStreamKey, text(n->streamKey));
    }
    // A length is stated only for a body that is really there, so that a
    // detached body never announces bytes that do not follow.
    std::int32_t body_length = n->body != nullptr && n->bodyLength > 0 ? n->bodyLength : 0;
    message.number_header(wire::kContentLength, body_length);
    message.number_header(wire::kAddrListLength, 0);
    message.line({});
    message.raw({n->body, static_cast<std::size_t>(body_length)});
    if (out.ok()) return true;
    out.truncate(start);
    return false;
}

}  // namespace vavevar
