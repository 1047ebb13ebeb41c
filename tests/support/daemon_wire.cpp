#include "support/daemon_wire.h"

#include <array>
#include <climits>

namespace vavevar::test {
namespace {

constexpr std::string_view kFormFactorPrefix = "FormFactor: ";
constexpr std::string_view kSelfIdSeparator = "\r\nSelfId: ";

Request::Kind kind_of(std::string_view first_line) {
    constexpr std::string_view post = "POST /";
    if (first_line.substr(0, post.size()) != post) return Request::Kind::other;
    std::string_view resource = first_line.substr(post.size());
    resource = resource.substr(0, resource.find(' '));
    if (resource == "connect") return Request::Kind::connect;
    if (resource == "event") return Request::Kind::event;
    if (resource == "subscribe") return Request::Kind::subscribe;
    if (resource == "unsubscribe") return Request::Kind::unsubscribe;
    return Request::Kind::other;
}

// A length header's value as the library's own readers take it: leading
// blanks, an optional sign, then digits. Negative lengths mean no bytes.
std::size_t length_of(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) return static_cast<std::size_t>(INT_MAX);
    }
    return negative ? 0 : static_cast<std::size_t>(value);
}

Header split_header(std::string_view line) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {std::string(line), {}};
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    return {std::string(line.substr(0, colon)), std::string(value)};
}

std::optional<std::string> last_header(const std::vector<Header> &headers, std::string_view name) {
    for (auto it = headers.rbegin(); it != headers.rend(); ++it)
        if (it->name == name) return it->value;
    return std::nullopt;
}

bool has_full_form(std::string_view class_name) {
    constexpr std::array<std::string_view, 3> full = {
        "MessageNotification", "OutgoingStreamingNotification", "IncomingStreamingNotification"};
    for (auto name : full)
        if (name == class_name) return true;
    return false;
}

}  // namespace

std::string reply_lines(const std::vector<std::string> &lines) {
    std::string out;
    for (const auto &line : lines) out.append(line).append("\r\n");
    out.append("\r\n");
    return out;
}

std::string handshake_reply(std::string_view instance_name, std::string_view result) {
    return reply_lines({"HTTP/1.1 200 OK", "Version: 4", "Result: " + std::string(result),
                        "Server: fake-daemon", "Tier: test", "Node: localhost",
                        "Content-Length: 0", "Connection: keep-alive",
                        "instanceName: " + std::string(instance_name)});
}

std::optional<std::string> Request::header(std::string_view name) const {
    for (const auto &h : headers)
        if (h.name == name) return h.value;
    return std::nullopt;
}

std::vector<std::string> Request::header_names() const {
    std::vector<std::string> names;
    names.reserve(headers.size());
    for (const auto &h : headers) names.push_back(h.name);
    return names;
}

const char *kind_name(Request::Kind kind) {
    switch (kind) {
        case Request::Kind::connect: return "connect";
        case Request::Kind::event: return "event";
        case Request::Kind::subscribe: return "subscribe";
        case Request::Kind::unsubscribe: return "unsubscribe";
        case Request::Kind::other: break;
    }
    return "other";
}

void RequestParser::feed(std::string_view bytes) {
    // Drop what earlier requests used once it dominates the buffer, so that a
    // long session does not keep every byte twice.
    if (consumed_ > 0 && consumed_ * 2 >= buffer_.size()) {
        buffer_.erase(0, consumed_);
        consumed_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<Request> RequestParser::next() {
    const std::string_view data(buffer_);
    std::size_t pos = consumed_;
    // The next line from `pos` without its line end; nullopt when incomplete.
    auto take_line = [&]() -> std::optional<std::string_view> {
        std::size_t lf = data.find('\n', pos);
        if (lf == std::string_view::npos) return std::nullopt;
        std::string_view line = data.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = lf + 1;
        return line;
    };

    auto first = take_line();
    if (!first) return std::nullopt;
    Request request;
    request.first_line = std::string(*first);
    request.kind = kind_of(*first);

    for (;;) {
        if (request.kind == Request::Kind::connect &&
            data.substr(pos, kFormFactorPrefix.size()) == kFormFactorPrefix) {
            std::size_t value_start = pos + kFormFactorPrefix.size();
            std::size_t separator = data.find(kSelfIdSeparator, value_start);
            if (separator == std::string_view::npos) return std::nullopt;
            request.headers.push_back(
                {"FormFactor", std::string(data.substr(value_start, separator - value_start))});
            pos = separator + 2;
            continue;
        }
        auto line = take_line();
        if (!line) return std::nullopt;
        if (line->empty()) break;
        request.headers.push_back(split_header(*line));
    }

    std::size_t body_length = length_of(last_header(request.headers, "Content-Length").value_or(""));
    std::size_t list_length = 0;
    if (request.kind == Request::Kind::event)
        list_length = length_of(last_header(request.headers, "AddrList-Length").value_or(""));
    if (data.size() - pos < body_length + list_length) return std::nullopt;
    request.body = std::string(data.substr(pos, body_length));
    request.address_list = std::string(data.substr(pos + body_length, list_length));
    pos += body_length + list_length;

    request.raw = std::string(data.substr(consumed_, pos - consumed_));
    consumed_ = pos;
    return request;
}

InboundEvent &InboundEvent::property(std::string_view name, std::string_view value) {
    property_lines.push_back(std::string(name) + ": " + std::string(value));
    return *this;
}

std::string InboundEvent::bytes() const {
    std::string out;
    auto line = [&](std::string_view name, std::string_view value) {
        out.append(name).append(value).append(line_end);
    };
    line(message_line, "");
    line("className: ", class_name);
    line("SubscriberID: ", subscriber_ids);
    line("eventType: ", event_type);
    line("eventId: ", event_id);
    line(creation_time_name + ": ", creation_time);
    line(delivery_time_name + ": ", delivery_time);
    if (full_form.value_or(has_full_form(class_name))) {
        line("affectedComponents: ", affected_components);
        line("affectedNodes: ", affected_nodes);
        line("generatingComponent: ", generating_component);
        line("generatingProcess: ", generating_process);
        line("generatingNode: ", generating_node);
        line("instanceName: ", instance_name);
        line("LocalOnly: ", local_only);
        line("numberOfProperties: ",
             number_of_properties.value_or(std::to_string(property_lines.size())));
        for (const auto &p : property_lines) line(p, "");
    }
    if (with_stream_key.value_or(class_name == "IncomingStreamingNotification"))
        line("streamKey: ", stream_key);
    line("Content-Length: ", content_length.value_or(std::to_string(body.size())));
    line("AddrList-Length: ", address_list_length.value_or(std::to_string(address_list.size())));
    out.append(line_end);
    out.append(body).append(address_list);
    return out;
}

std::string StatusMessage::bytes() const {
    std::string out = message_line + line_end;
    if (result) out.append("Result: ").append(*result).append(line_end);
    if (subscriber_id) out.append("SubscriberID: ").append(*subscriber_id).append(line_end);
    if (message) out.append("Message: ").append(*message).append(line_end);
    out.append(line_end);
    return out;
}

}  // namespace vavevar::test
