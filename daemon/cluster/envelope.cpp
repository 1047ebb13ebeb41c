#include "envelope.h"

#include <charconv>

#include "request.h"

namespace vavevard::cluster {
namespace {

constexpr std::string_view kMagic = "VVE1 ";

}  // namespace

std::string encode_event(std::string_view node, const Notification &event, std::string_view instanceName) {
    RenderedEvent rendered(event, instanceName);
    const EventBytes &b = rendered.bytes();
    std::string out;
    out.reserve(kMagic.size() + node.size() + 24 + b.size() + 1 + RenderedEvent::kDeliveryDigits);
    out.append(kMagic).append(node).append(" ").append(std::to_string(event.creationMs)).append("\n");
    out.append(b.piece(EventBytes::before_id)).append("0").append(b.piece(EventBytes::after_id));
    char digits[RenderedEvent::kDeliveryDigits];
    write_delivery_digits(digits, event.creationMs);
    out.append(digits, sizeof digits).append(b.piece(EventBytes::tail));
    return out;
}

std::string_view envelope_node(std::string_view payload) {
    if (!payload.starts_with(kMagic)) return {};
    payload.remove_prefix(kMagic.size());
    std::size_t end = payload.find_first_of(" \n");
    return end == std::string_view::npos ? std::string_view{} : payload.substr(0, end);
}

bool decode_event(std::string_view payload, Notification &event, std::string &why) {
    std::string_view node = envelope_node(payload);
    std::size_t lineEnd = payload.find('\n');
    if (node.empty() || lineEnd == std::string_view::npos) {
        why = "not an event envelope";
        return false;
    }
    std::string_view created = payload.substr(kMagic.size() + node.size(), lineEnd - kMagic.size() - node.size());
    if (!created.empty() && created.front() == ' ') created.remove_prefix(1);
    std::int64_t creationMs = 0;
    auto [end, ec] = std::from_chars(created.data(), created.data() + created.size(), creationMs);
    if (ec != std::errc() || end != created.data() + created.size()) {
        why = "bad creation time in the envelope";
        return false;
    }
    std::string_view message = payload.substr(lineEnd + 1);
    RequestParser parser{Limits{}};
    parser.set_handshake_only(false);
    parser.feed(message.data(), message.size());
    Request request;
    auto status = parser.next(request);
    auto *e = std::get_if<EventRequest>(&request);
    if (status != RequestParser::Status::ready || e == nullptr || parser.buffered() != 0) {
        why = status == RequestParser::Status::error ? parser.error() : "not one whole event";
        return false;
    }
    if (e->unknownClass) {
        why = "unknown class '" + e->className + "'";
        return false;
    }
    event = std::move(e->event);
    event.creationMs = creationMs;
    event.publisherSubscriberId = 0;
    return true;
}

}  // namespace vavevard::cluster
