#include "event.h"

#include <cstdio>
#include <memory>

#include "notification/event_wire.h"

namespace vavevard {
namespace {

namespace wire = vavevar::wire;

void header(std::string &out, std::string_view name, std::string_view value) {
    out.append(name);
    out.append(value);
    out.append(wire::kLineEnd);
}

}  // namespace

std::string_view class_name(std::int32_t cls) noexcept {
    return cls >= 0 && cls < kClassCount ? vavevar::kNotificationClassNames[cls] : std::string_view{};
}

std::optional<std::int32_t> class_from_name(std::string_view name) noexcept {
    for (std::int32_t cls = 0; cls < kClassCount; ++cls)
        if (vavevar::kNotificationClassNames[cls] == name) return cls;
    return std::nullopt;
}

bool is_full_form(std::int32_t cls) noexcept {
    return cls == kMessageNotification || cls == kOutgoingStreamingNotification || cls == kIncomingStreamingNotification;
}

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
RenderedEvent::RenderedEvent(const Event &e, std::string_view instanceName,
                             const std::shared_ptr<MemoryAccount> &account) {
    beforeId_ = wire::kEventLine;
    header(beforeId_, wire::kClassName, class_name(e.cls));
    beforeId_.append(wire::kSubscriberId);

    afterId_ = wire::kLineEnd;
    header(afterId_, wire::kEventType, e.type);
    header(afterId_, wire::kEventId, e.id);
    header(afterId_, wire::kCreationTime, std::to_string(e.creationMs));
    afterId_.append(wire::kDeliveryTime);

    std::string tail(wire::kLineEnd);
    if (is_full_form(e.cls)) {
        header(tail, wire::kAffectedComponents, e.affectedComponents);
        header(tail, wire::kAffectedNodes, e.affectedNodes);
        header(tail, wire::kGeneratingComponent, e.generatingComponent);
        header(tail, wire::kGeneratingProcess, e.generatingProcess);
        header(tail, wire::kGeneratingNode, e.generatingNode);
        header(tail, wire::kInstanceName, e.instanceName.empty() ? instanceName : e.instanceName);
        header(tail, wire::kLocalOnly, e.localOnly ? "true" : "false");
        header(tail, wire::kNumberOfProperties, std::to_string(e.properties.size()));
        for (const Property &p : e.properties) header(tail, "", p.line);
        if (e.cls == kIncomingStreamingNotification) header(tail, wire::kStreamKey, e.streamKey);
    }
    header(tail, wire::kContentLength, std::to_string(e.body.size()));
    header(tail, wire::kAddrListLength, "0");
    tail.append(wire::kLineEnd);
    tail.append(e.body);
    if (!account) {
        tail_ = std::make_shared<const std::string>(std::move(tail));
        return;
    }
    // The last recipient to let go of the tail gives its bytes back.
    // Should the shared pointer fail to allocate, it calls the deleter, so the
    // bytes are added first and the string handed over before.
    auto owned = std::make_unique<const std::string>(std::move(tail));
    std::size_t bytes = owned->capacity();
    account->add(bytes);
    tail_ = std::shared_ptr<const std::string>(owned.release(), [account, bytes](const std::string *t) {
        account->remove(bytes);
        delete t;
    });
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
