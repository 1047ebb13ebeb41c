#include "event.h"

#include <cstdio>

namespace vavevard {
namespace {

void header(std::string &out, std::string_view name, std::string_view value) {
    out.append(name);
    out.append(value);
    out.append("\r\n");
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

// The header names here are a contract: the client skips each by its length
// without reading it. Both time headers are 14 bytes with their ": ".
RenderedEvent::RenderedEvent(const Event &e, std::string_view instanceName) {
    beforeId_ = "POST /event HTTP/1.1\r\n";
    header(beforeId_, "className: ", class_name(e.cls));
    beforeId_.append("SubscriberID: ");

    afterId_ = "\r\n";
    header(afterId_, "eventType: ", e.type);
    header(afterId_, "eventId: ", e.id);
    header(afterId_, "creationTime: ", std::to_string(e.creationMs));
    afterId_.append("deliveryTime: ");

    std::string tail = "\r\n";
    if (is_full_form(e.cls)) {
        header(tail, "affectedComponents: ", e.affectedComponents);
        header(tail, "affectedNodes: ", e.affectedNodes);
        header(tail, "generatingComponent: ", e.generatingComponent);
        header(tail, "generatingProcess: ", e.generatingProcess);
        header(tail, "generatingNode: ", e.generatingNode);
        header(tail, "instanceName: ", e.instanceName.empty() ? instanceName : e.instanceName);
        header(tail, "LocalOnly: ", e.localOnly ? "true" : "false");
        header(tail, "numberOfProperties: ", std::to_string(e.properties.size()));
        for (const Property &p : e.properties) header(tail, "", p.line);
        if (e.cls == kIncomingStreamingNotification) header(tail, "streamKey: ", e.streamKey);
    }
    header(tail, "Content-Length: ", std::to_string(e.body.size()));
    tail.append("AddrList-Length: 0\r\n\r\n");
    tail.append(e.body);
    tail_ = std::make_shared<const std::string>(std::move(tail));
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
