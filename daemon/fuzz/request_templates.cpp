#include "request_templates.h"

#include "notification.h"
#include "wire/control_texts.h"
#include "wire/event_texts.h"
#include "wire/flow_texts.h"

namespace vavevard::fuzz {
namespace {

namespace wire = vavevar::wire;

void header(std::string &out, std::string_view name, std::string_view value) {
    out.append(name).append(value).append(wire::kLineEnd);
}

void properties(std::string &out, FuzzInput &in, std::size_t count) {
    header(out, wire::kNumberOfProperties, std::to_string(count));
    for (std::size_t i = 0; i < count; ++i) header(out, "", text_field(in, kProperties));
}

}  // namespace

std::string_view text_field(FuzzInput &in, Table table) {
    std::size_t pick = in.u8();
    return pick < table.size() ? table[pick] : in.bytes(pick - table.size());
}

std::string connect_request(FuzzInput &in) {
    std::string out(wire::kConnectLine);
    header(out, wire::kVersion, "4 ");
    header(out, wire::kFormFactor, text_field(in, kFormFactors));
    header(out, wire::kSelfId, text_field(in, kSelfIds));
    out.append(wire::kLineEnd);
    return out;
}

std::string subscribe_request(FuzzInput &in) {
    std::string out(wire::kSubscribeLine);
    header(out, wire::kContentLength, "0");
    header(out, wire::kSubscriberId, std::to_string(static_cast<std::int8_t>(in.u8())));
    header(out, wire::kSubscription, text_field(in, kFilters));
    header(out, wire::kComponent, text_field(in, kComponents));
    header(out, wire::kMbrInterest, text_field(in, kGroups));
    std::uint8_t bits = in.u8();
    header(out, wire::kMbrDeltas, bits & 1 ? "true" : "false");
    if (bits & 8) header(out, wire::kResubscribe, "true");
    properties(out, in, (bits >> 1) & 3);
    out.append(wire::kLineEnd);
    return out;
}

std::string unsubscribe_request(FuzzInput &in) {
    std::string out(wire::kUnsubscribeLine);
    header(out, wire::kContentLength, "0");
    header(out, wire::kSubscriberId, std::to_string(static_cast<std::int8_t>(in.u8())));
    out.append(wire::kLineEnd);
    return out;
}

std::string event_request(FuzzInput &in, unsigned serial) {
    std::uint8_t cls = in.u8();
    std::string out(wire::kEventLine);
    header(out, wire::kClassName, cls < kClassCount ? class_name(cls) : kUnknownClassName);
    header(out, wire::kSubscriberId, "0");
    header(out, wire::kEventType, text_field(in, kTypes));
    header(out, wire::kEventId, "e" + std::to_string(serial));
    std::uint8_t bits = in.u8();
    if (cls < kClassCount && is_full_form(cls)) {
        header(out, wire::kAffectedComponents, "c, storage");
        header(out, wire::kAffectedNodes, "db-1 db-2");
        // The component is read before the properties in the input, but
        // written where the library writes it.
        std::string_view component = text_field(in, kComponents);
        header(out, wire::kGeneratingComponent, component);
        header(out, wire::kGeneratingProcess, "h:1");
        header(out, wire::kGeneratingNode, "build7");
        header(out, wire::kInstanceName, "");
        header(out, wire::kLocalOnly, bits & 4 ? "true" : "false");
        properties(out, in, bits & 3);
        if (cls == kIncomingStreamingNotification) header(out, wire::kStreamKey, "k");
    }
    std::size_t body = in.u16() + (bits & 8 ? 65536u : 0u);
    char fill = static_cast<char>(in.u8());
    std::size_t addresses = in.u8();
    header(out, wire::kContentLength, std::to_string(body));
    header(out, wire::kAddrListLength, std::to_string(addresses));
    out.append(wire::kLineEnd);
    out.append(body, fill);
    out.append(addresses, 'a');
    return out;
}

std::string stats_request() { return "POST /stats HTTP/1.1\r\n\r\n"; }

}  // namespace vavevard::fuzz
