#include "notification.h"

#include <cstdio>
#include <memory>

#include "wire/event_texts.h"
#include "wire/message_writer.h"

namespace vavevard {
namespace {

namespace wire = vavevar::wire;
using Writer = wire::MessageWriter<std::string>;

}  // namespace

std::string_view Property::name() const noexcept {
    std::string_view l(line);
    return l.substr(0, l.find(':'));
}

std::string_view Property::value() const noexcept {
    std::string_view l(line);
    std::size_t colon = l.find(':');
    if (colon == std::string_view::npos || colon + 2 > l.size()) return {};
    return l.substr(colon + 2);
}

// The header names and their order are a contract: the client skips each
// name by its length without reading it.
RenderedEvent::RenderedEvent(const Notification &e, std::string_view instanceName,
                             const std::shared_ptr<MemoryAccount> &account) {
    beforeId_ = wire::kEventLine;
    Writer(beforeId_).header(wire::kClassName, class_name(e.cls));
    beforeId_.append(wire::kSubscriberId);

    afterId_ = wire::kLineEnd;
    Writer after(afterId_);
    after.header(wire::kEventType, e.type);
    after.header(wire::kEventId, e.id);
    after.number_header(wire::kCreationTime, e.creationMs);
    afterId_.append(wire::kDeliveryTime);

    std::string tail(wire::kLineEnd);
    Writer out(tail);
    if (is_full_form(e.cls)) {
        out.header(wire::kAffectedComponents, e.affectedComponents);
        out.header(wire::kAffectedNodes, e.affectedNodes);
        out.header(wire::kGeneratingComponent, e.generatingComponent);
        out.header(wire::kGeneratingProcess, e.generatingProcess);
        out.header(wire::kGeneratingNode, e.generatingNode);
        out.header(wire::kInstanceName,
                   e.instanceName.empty() ? instanceName : std::string_view(e.instanceName));
        out.header(wire::kLocalOnly, e.localOnly ? wire::kTrue : wire::kFalse);
        out.number_header(wire::kNumberOfProperties,
                          static_cast<std::int64_t>(e.properties.size()));
        for (const Property &p : e.properties) out.line(p.line);
        if (e.cls == kIncomingStreamingNotification) out.header(wire::kStreamKey, e.streamKey);
    }
    out.number_header(wire::kContentLength, static_cast<std::int64_t>(e.body.size()));
    out.number_header(wire::kAddrListLength, 0);
    out.line({});
    out.raw(e.body);
    // One allocation holds the tail and its share of the account; the last
    // recipient to let go of it gives the bytes back.
    struct Tail {
        std::string bytes;
        AccountedBytes share;
    };
    auto held = std::make_shared<Tail>(Tail{std::move(tail), AccountedBytes(account)});
    held->share.set(held->bytes.capacity());
    tail_ = std::shared_ptr<const std::string>(held, &held->bytes);
}

std::string RenderedEvent::head_for(std::int32_t subscriberId, std::size_t *deliveryOffset) const {
    std::string head;
    head.reserve(beforeId_.size() + afterId_.size() + 12 + kDeliveryDigits);
    head.append(beforeId_);
    head.append(std::to_string(subscriberId));
    head.append(afterId_);
    *deliveryOffset = head.size();
    head.append(kDeliveryDigits, '0');
    return head;
}

void write_delivery_digits(char *at, std::int64_t ms) noexcept {
    if (ms < 0) ms = 0;
    for (std::size_t i = RenderedEvent::kDeliveryDigits; i-- > 0;) {
        at[i] = static_cast<char>('0' + ms % 10);
        ms /= 10;
    }
}

}  // namespace vavevard
