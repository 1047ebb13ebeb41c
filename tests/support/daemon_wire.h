// The daemon's side of the wire, for tests: parsing what the library sends
// and building what a daemon sends back. Plain C++ with no link to the
// library, so that the library's own wire code can be checked against it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vavevar::test {

// reply_lines({"a", "b"}) is "a\r\nb\r\n\r\n".
std::string reply_lines(const std::vector<std::string> &lines);

// A connect reply the library accepts; `result` replaces "success" to script
// a refusal.
std::string handshake_reply(std::string_view instance_name = "fake-instance",
                            std::string_view result = "success");

struct Header {
    std::string name;
    std::string value;
    bool operator==(const Header &) const = default;
};

// One message of the protocol, either way.
struct Request {
    enum class Kind { connect, event, subscribe, unsubscribe, other };

    Kind kind = Kind::other;
    std::vector<Header> headers;  // in arrival order, property lines included
    std::string body;             // the Content-Length bytes
    std::string address_list;     // events only: the AddrList-Length bytes
    std::string raw;              // every byte of the message, line ends included
    std::size_t connection = 0;   // 0 for the first connection accepted, and so on

    // The first header called `name`; get() says "<absent>" for none.
    std::optional<std::string> header(std::string_view name) const;
    std::string get(std::string_view name) const { return header(name).value_or("<absent>"); }
    std::vector<std::string> header_names() const;
};

// Splits a byte stream into messages however it is fragmented. The body and
// an event's address list take the last Content-Length and AddrList-Length,
// since property lines come first and may carry any name. The connect
// request's FormFactor value is file content sent verbatim, line ends and all,
// up to the "\r\nSelfId: " after it.
class RequestParser {
public:
    void feed(std::string_view bytes);
    // The next complete message, or nullopt while its bytes are still missing.
    std::optional<Request> next();
    // No byte of a further message held.
    bool idle() const { return consumed_ == buffer_.size(); }

private:
    std::string buffer_;
    std::size_t consumed_ = 0;
};

// The event message a daemon sends. Every field is text so that tests can put
// anything on the wire; the defaults make a valid class-0 event for
// subscriber 1.
struct InboundEvent {
    std::string class_name = "MessageNotification";
    std::string subscriber_ids = "1";  // ";"-separated, sent as it is
    std::string event_type = "test.event";
    std::string event_id = "id-1";
    // The library skips 14 bytes for each time header, name and ": "
    // included, so names of 12 characters keep the values in place. An empty
    // name leaves the header out, as in the events the library writes.
    std::string creation_time_name = "creationTime";
    std::string creation_time = "1700000000123";
    std::string delivery_time_name = "deliveryTime";
    std::string delivery_time = "1700000000456";
    std::string affected_components;
    std::string affected_nodes;
    std::string generating_component = "publisher";
    std::string generating_process = "4242";
    std::string generating_node = "node-1";
    std::string instance_name = "fake-instance";
    std::string local_only = "false";
    std::vector<std::string> property_lines;          // sent as they are
    std::optional<std::string> number_of_properties;  // default: count of property_lines
    std::string stream_key;
    std::string body;
    std::optional<std::string> content_length;  // default: body size
    std::string address_list;

    std::string bytes() const;
};

// A status message; a header left empty (nullopt) is not written.
struct StatusMessage {
    std::optional<std::string> result = "success";
    std::optional<std::string> subscriber_id = "1";
    std::optional<std::string> message;

    std::string bytes() const;
};

}  // namespace vavevar::test
