// The request parser: every request kind as clients write it, any split of
// the byte stream, and each bound and malformation ending in a clear error.
#include "request.h"

#include <gtest/gtest.h>

#include "daemon_harness.h"

namespace vavevard {
namespace {

using Status = RequestParser::Status;

// Feeds `bytes` in pieces of `step` and collects every request until the
// first error, which goes to `error`.
std::vector<Request> parse(const std::string &bytes, std::size_t step, std::string *error = nullptr,
                           Limits limits = {}) {
    RequestParser parser(limits);
    std::vector<Request> out;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        parser.feed(bytes.data() + at, std::min(step, bytes.size() - at));
        Request r;
        Status s;
        while ((s = parser.next(r)) == Status::ready) out.push_back(std::move(r));
        if (s == Status::error) break;
    }
    if (error) *error = parser.error();
    return out;
}

TEST(DaemonRequest, EveryKindParsesTheSameWhateverTheSplit) {
    auto e = test::outbound_event();
    // Property lines are taken by count, even when they look like headers.
    e.property_lines = {"Content-Length: 99", "site: a:b"};
    e.body = std::string("x\0y\r\n", 5);
    auto block = test::outbound_event();
    block.class_name = "IncomingStreamingNotification";
    block.stream_key = "key-1";
    // The form factor is a file's bytes: it may span lines, even empty ones,
    // up to SelfId. An address list is skipped.
    std::string stream =
        "POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: desk\r\ntop\r\n\r\nSelfId: Pid=7; Home=/h\r\n\r\n" +
        test::RawClient::subscribe_request(3, "ALARM/*", "grp", true, {"role: main"}) + e.bytes() + block.bytes() +
        "POST /event HTTP/1.1\r\nclassName: UnknownNotificationClass\r\nContent-Length: 2\r\n"
        "AddrList-Length: 3\r\n\r\nhiXYZ" +
        "POST /unsubscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 3\r\n\r\n\r\nPOST /stats HTTP/1.1\r\n\r\n";
    // Byte by byte, the parser waits at every cut and keeps its place.
    for (std::size_t step : {std::size_t{1}, std::size_t{7}, stream.size()}) {
        SCOPED_TRACE("step " + std::to_string(step));
        std::string error;
        auto requests = parse(stream, step, &error);
        ASSERT_EQ(error, "");
        ASSERT_EQ(requests.size(), 7u);
        const auto &c = std::get<ConnectRequest>(requests[0]);
        EXPECT_EQ(c.version + "|" + c.formFactor + "|" + c.selfId, "4 |desk\r\ntop\r\n|Pid=7; Home=/h");
        const auto &s = std::get<SubscribeRequest>(requests[1]);
        EXPECT_EQ(s.subscriberId, 3);
        EXPECT_EQ(s.subscription + "|" + s.component + "|" + s.mbrInterest, "ALARM/*|comp|grp");
        EXPECT_TRUE(s.deltas);
        ASSERT_EQ(s.properties.size(), 1u);
        EXPECT_EQ(std::string(s.properties[0].name()) + "=" + std::string(s.properties[0].value()), "role=main");
        const Notification &ev = std::get<EventRequest>(requests[2]).event;
        EXPECT_EQ(ev.cls, kMessageNotification);
        EXPECT_EQ(ev.type + "|" + ev.generatingProcess, "ALARM/DISK|host:1");
        ASSERT_EQ(ev.properties.size(), 2u);
        EXPECT_EQ(ev.properties[0].line, "Content-Length: 99");
        EXPECT_EQ(ev.properties[1].value(), "a:b");
        EXPECT_EQ(ev.body, std::string("x\0y\r\n", 5));
        EXPECT_EQ(std::get<EventRequest>(requests[3]).event.streamKey, "key-1");
        EXPECT_TRUE(std::get<EventRequest>(requests[4]).unknownClass);
        EXPECT_EQ(std::get<EventRequest>(requests[4]).event.body, "hi");
        EXPECT_EQ(std::get<UnsubscribeRequest>(requests[5]).subscriberId, 3);
        EXPECT_TRUE(std::holds_alternative<StatsRequest>(requests[6]));
    }
}

// A library that subscribes again after a reconnection says so; a header the
// daemon does not know (a newer library's) changes nothing, and the marker
// does not carry over to the next subscribe.
TEST(DaemonRequest, TheResubscribeMarkerIsReadAndUnknownSubscribeHeadersAreIgnored) {
    std::string marked = test::RawClient::subscribe_request(4, "A");
    marked.insert(marked.find("\r\n") + 2, "Resubscribe: true\r\nX-Later-Header: 1\r\n");
    std::string error;
    auto requests = parse(marked + test::RawClient::subscribe_request(5, "B"), 5, &error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(requests.size(), 2u);
    const auto &first = std::get<SubscribeRequest>(requests[0]);
    EXPECT_TRUE(first.resubscribe);
    EXPECT_EQ(first.subscription + "|" + first.component, "A|comp");
    EXPECT_FALSE(std::get<SubscribeRequest>(requests[1]).resubscribe);
}

TEST(DaemonRequest, BoundsAndMalformationsAreErrorsSayingWhatAndWhere) {
    Limits small;
    small.maxLineBytes = 32;
    small.maxHeaderLines = 4;
    small.maxProperties = 2;
    small.maxBodyBytes = 10;
    std::string error;
    parse("POST /event " + std::string(40, 'x'), 1, &error, small);  // before its end arrives
    EXPECT_EQ(error, "line longer than 32 bytes");
    const std::pair<std::string, std::string> cases[] = {
        {"POST /stats HTTP/1.1\r\na: 1\r\nb: 2\r\nc: 3\r\nd: 4\r\ne: 5\r\n\r\n",
         "more than 4 header lines in a stats request"},
        // A second count line cannot lift the bound.
        {"POST /event HTTP/1.1\r\nnumberOfProperties: 2\r\na: 1\r\nb: 2\r\nnumberOfProperties: 1\r\n",
         "line 5 of the event request: numberOfProperties must be a number from 0 to 0, not '1'"},
        {"POST /event HTTP/1.1\r\nContent-Length: 11\r\n", "body of 11 bytes is over the limit of 10 bytes"},
        {"POST /event HTTP/1.1\r\nAddrList-Length: -1\r\n",
         "line 2 of the event request: AddrList-Length must be a number from 0 to 10, not '-1'"},
        {"GET / HTTP/1.1\r\n", "request line 'GET / HTTP/1.1' does not start with \"POST /\""},
        {"POST /publish HTTP/1.1\r\n", "unknown request 'POST /publish HTTP/1.1'"},
        {"POST /event SMTP\r\n", "request line 'POST /event SMTP' has an unknown protocol"},
        {"POST /event HTTP/1.1\r\nno colon\r\n", "line 2 of the event request: header 'no colon' has no ':'"},
        {"POST /event HTTP/1.1\r\neventType: t\r\n\r\n", "event request without a className header"},
        {"POST /unsubscribe HTTP/1.1\r\n\r\n", "unsubscribe request without a SubscriberID header"},
        {"POST /subscribe HTTP/1.1\r\nSubscriberID: 99999999999\r\n",
         "line 2 of the subscribe request: SubscriberID must be a number from -2147483648 to 2147483647, "
         "not '99999999999'"},
        {"POST /subscribe HTTP/1.1\r\nSubscriberID: 1\r\nContent-Length: 4\r\n\r\n",
         "subscribe request announces a body, which it may not have"},
        {"POST /event HTTP/1.1\r\nnumberOfProperties: 1\r\n\x01\x02\r\n",
         "line 3 of the event request: property '\\x01\\x02' has no ':'"},
    };
    for (const auto &[bytes, expected] : cases) {
        parse(bytes, bytes.size(), &error, small);
        EXPECT_EQ(error, expected) << bytes;
    }
}

TEST(DaemonRequest, AnErrorIsFinal) {
    RequestParser parser{Limits{}};
    for (std::string bytes : {"junk\r\n", "POST /stats HTTP/1.1\r\n\r\n"}) {
        parser.feed(bytes.data(), bytes.size());
        Request r;
        EXPECT_EQ(parser.next(r), Status::error);  // out of step for good
    }
}

}  // namespace
}  // namespace vavevard
