#include "support/daemon_wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vavevar::test {
namespace {

using Kind = Request::Kind;

// What the library writes for a connect request whose form-factor file holds
// "desktop" and a CR LF: the file's line end comes before the library's own.
const std::string kConnectWithFormFactorLine =
    "POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: desktop\r\n"
    "\r\nSelfId: Pid=42; Home=/opt/home\r\n\r\n";

std::vector<Request> parse_all(RequestParser &parser) {
    std::vector<Request> out;
    while (auto request = parser.next()) out.push_back(std::move(*request));
    return out;
}

TEST(RequestParser, ConnectFormFactorKeepsItsOwnLineEnds) {
    RequestParser parser;
    // One byte at a time: nothing is complete before the final empty line.
    for (std::size_t i = 0; i + 1 < kConnectWithFormFactorLine.size(); ++i) {
        parser.feed(kConnectWithFormFactorLine.substr(i, 1));
        ASSERT_FALSE(parser.next()) << "complete after " << i + 1 << " bytes";
    }
    parser.feed(kConnectWithFormFactorLine.substr(kConnectWithFormFactorLine.size() - 1));
    auto request = parser.next();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->kind, Kind::connect);
    EXPECT_EQ(request->first_line, "POST /connect HTTP/1.1");
    EXPECT_EQ(request->headers, (std::vector<Header>{{"Version", "4 "},
                                                     {"FormFactor", "desktop\r\n"},
                                                     {"SelfId", "Pid=42; Home=/opt/home"}}));
    EXPECT_EQ(request->raw, kConnectWithFormFactorLine);
    EXPECT_TRUE(parser.pending().empty());
}

TEST(RequestParser, SplitsAStreamOfRequestsWithBodiesAndAddressLists) {
    const std::string subscribe =
        "POST /subscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 3\r\n"
        "Subscription: null\r\nComponent: c\r\nMbrInterest: null\r\nMbrDeltas: false\r\n"
        "numberOfProperties: 1\r\nzone: east\r\n\r\n";
    // A property that happens to be called Content-Length comes before the
    // real header and must not decide the body length.
    const std::string event =
        "POST /event HTTP/1.1\r\nclassName: MessageNotification\r\nSubscriberID: 3\r\n"
        "numberOfProperties: 1\r\nContent-Length: 99\r\nContent-Length: 5\r\n"
        "AddrList-Length: 3\r\n\r\nhelloa;b";
    const std::string unsubscribe =
        "POST /unsubscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 3\r\n\r\n";
    const std::string half_of_next = "POST /event HTTP/1.1\r\nclassName: M";

    RequestParser parser;
    parser.feed(subscribe + event + unsubscribe + half_of_next);
    auto requests = parse_all(parser);
    ASSERT_EQ(requests.size(), 3u);

    EXPECT_EQ(requests[0].kind, Kind::subscribe);
    EXPECT_EQ(requests[0].header_names(),
              (std::vector<std::string>{"Content-Length", "SubscriberID", "Subscription",
                                        "Component", "MbrInterest", "MbrDeltas",
                                        "numberOfProperties", "zone"}));
    EXPECT_EQ(requests[0].header("zone"), "east");
    EXPECT_EQ(requests[0].raw, subscribe);

    EXPECT_EQ(requests[1].kind, Kind::event);
    EXPECT_EQ(requests[1].body, "hello");
    EXPECT_EQ(requests[1].address_list, "a;b");
    EXPECT_EQ(requests[1].raw, event);

    EXPECT_EQ(requests[2].kind, Kind::unsubscribe);
    EXPECT_EQ(requests[2].header("SubscriberID"), "3");
    EXPECT_FALSE(requests[2].header("Subscription"));

    EXPECT_EQ(parser.pending(), half_of_next);
}

TEST(RequestParser, AcceptsBareLineFeedsAndOddHeaderLines) {
    RequestParser parser;
    parser.feed("GET /other\nno colon here\nname:tight\nempty: \nContent-Length: -4\n\nPOST /x\n\n");
    auto requests = parse_all(parser);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].kind, Kind::other);
    EXPECT_EQ(requests[0].headers, (std::vector<Header>{{"no colon here", ""},
                                                        {"name", "tight"},
                                                        {"empty", ""},
                                                        {"Content-Length", "-4"}}));
    EXPECT_EQ(requests[0].body, "");  // a negative length means no body
    EXPECT_EQ(requests[1].kind, Kind::other);
    EXPECT_EQ(requests[1].first_line, "POST /x");
}

TEST(DaemonReplies, HandshakeReplyCarriesResultOnLine3AndInstanceOnLine9) {
    std::string reply = handshake_reply("alpha");
    RequestParser lines;  // a reply is laid out like a request: lines up to an empty one
    lines.feed(reply);
    auto parsed = lines.next();
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->raw, reply);
    ASSERT_EQ(parsed->headers.size(), 8u);  // line 1 is the first line
    EXPECT_EQ(parsed->headers[1].name + ": " + parsed->headers[1].value, "Result: success");
    EXPECT_EQ(parsed->headers[7].name + ": " + parsed->headers[7].value, "instanceName: alpha");

    EXPECT_NE(handshake_reply("alpha", "failure").find("\r\nResult: failure\r\n"),
              std::string::npos);
    EXPECT_EQ(reply_lines({"a", "b"}), "a\r\nb\r\n\r\n");
}

TEST(DaemonReplies, StatusMessageLayout) {
    StatusMessage status;
    status.subscriber_id = "3";
    status.message = "ok";
    EXPECT_EQ(status.bytes(),
              "POST /status HTTP/1.1\r\nResult: success\r\nSubscriberID: 3\r\nMessage: ok\r\n\r\n");

    StatusMessage without_id;
    without_id.result = "failure";
    without_id.subscriber_id.reset();
    without_id.line_end = "\n";
    EXPECT_EQ(without_id.bytes(), "POST /status HTTP/1.1\nResult: failure\n\n");
}

TEST(InboundEventBuilder, FullFormWritesEveryRowInOrder) {
    InboundEvent event;
    event.subscriber_ids = "3;7;12";
    event.event_type = "";
    event.property("b", "2").property("a", "1");
    event.body = "hello";
    EXPECT_EQ(event.bytes(),
              "POST /event HTTP/1.1\r\n"
              "className: MessageNotification\r\n"
              "SubscriberID: 3;7;12\r\n"
              "eventType: \r\n"
              "eventId: id-1\r\n"
              "creationTime: 1700000000123\r\n"
              "deliveryTime: 1700000000456\r\n"
              "affectedComponents: \r\n"
              "affectedNodes: \r\n"
              "generatingComponent: publisher\r\n"
              "generatingProcess: 4242\r\n"
              "generatingNode: node-1\r\n"
              "instanceName: fake-instance\r\n"
              "LocalOnly: false\r\n"
              "numberOfProperties: 2\r\n"
              "b: 2\r\n"
              "a: 1\r\n"
              "Content-Length: 5\r\n"
              "AddrList-Length: 0\r\n"
              "\r\n"
              "hello");
}

TEST(InboundEventBuilder, FormAndStreamKeyFollowTheClass) {
    InboundEvent state_get;
    state_get.class_name = "StateGetNotification";
    state_get.property("ignored", "x");
    state_get.creation_time_name = "bornAt";  // 8 bytes with ": ": shifts the reader
    state_get.address_list = "1.2.3.4";
    EXPECT_EQ(state_get.bytes(),
              "POST /event HTTP/1.1\r\nclassName: StateGetNotification\r\nSubscriberID: 1\r\n"
              "eventType: test.event\r\neventId: id-1\r\nbornAt: 1700000000123\r\n"
              "deliveryTime: 1700000000456\r\nContent-Length: 0\r\nAddrList-Length: 7\r\n\r\n"
              "1.2.3.4");

    InboundEvent incoming;
    incoming.class_name = "IncomingStreamingNotification";
    incoming.stream_key = "k1";
    const std::string incoming_bytes = incoming.bytes();
    EXPECT_NE(incoming_bytes.find("numberOfProperties: 0\r\nstreamKey: k1\r\nContent-Length: 0"),
              std::string::npos);

    InboundEvent outgoing;
    outgoing.class_name = "OutgoingStreamingNotification";
    outgoing.stream_key = "k1";
    EXPECT_EQ(outgoing.bytes().find("streamKey"), std::string::npos);
    EXPECT_NE(outgoing.bytes().find("LocalOnly: false"), std::string::npos);

    // Overrides put layouts on the wire that the class alone would not.
    InboundEvent hostile;
    hostile.class_name = "MessageNotification";
    hostile.full_form = false;
    hostile.with_stream_key = true;
    hostile.content_length = "-1";
    hostile.line_end = "\n";
    EXPECT_EQ(hostile.bytes(),
              "POST /event HTTP/1.1\nclassName: MessageNotification\nSubscriberID: 1\n"
              "eventType: test.event\neventId: id-1\ncreationTime: 1700000000123\n"
              "deliveryTime: 1700000000456\nstreamKey: \nContent-Length: -1\n"
              "AddrList-Length: 0\n\n");
}

}  // namespace
}  // namespace vavevar::test
