#include "support/daemon_wire.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

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
std::size_t length_of(const std::string &text) {
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    return value < 0 ? 0 : static_cast<std::size_t>(std::min<long long>(value, INT_MAX));
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
    for (const auto &h : headers) names.push_back(h.name);
    return names;
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

std::string InboundEvent::bytes() const {
    std::string out;
    auto line = [&](std::string_view name, std::string_view value) {
        out.append(name).append(value).append("\r\n");
    };
    line("POST /event HTTP/1.1", "");
    line("className: ", class_name);
    line("SubscriberID: ", subscriber_ids);
    line("eventType: ", event_type);
    line("eventId: ", event_id);
    if (!creation_time_name.empty()) line(creation_time_name + ": ", creation_time);
    if (!delivery_time_name.empty()) line(delivery_time_name + ": ", delivery_time);
    if (class_name == "MessageNotification" || class_name == "OutgoingStreamingNotification" ||
        class_name == "IncomingStreamingNotification") {
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
    if (class_name == "IncomingStreamingNotification") line("streamKey: ", stream_key);
    line("Content-Length: ", content_length.value_or(std::to_string(body.size())));
    line("AddrList-Length: ", std::to_string(address_list.size()));
    return out + "\r\n" + body + address_list;
}

std::string StatusMessage::bytes() const {
    std::string out = "POST /status HTTP/1.1\r\n";
    if (result) out += "Result: " + *result + "\r\n";
    if (subscriber_id) out += "SubscriberID: " + *subscriber_id + "\r\n";
    if (message) out += "Message: " + *message + "\r\n";
    return out + "\r\n";
}

}  // namespace vavevar::test
