// The request parser: every request kind as clients write it, any split of
// the byte stream, and each bound and malformation ending in a clear error.
#include "request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon_harness.h"

namespace vavevard {
namespace {

using Status = RequestParser::Status;

const std::string kConnect =
    "POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: desktop\r\nSelfId: Pid=7; Home=/h\r\n\r\n";

// Feeds `bytes` in pieces of `step` and collects every request; stops at the
// first error, which is returned through `error`.
std::vector<Request> parse(const std::string &bytes, std::size_t step, std::string *error = nullptr,
                           Limits limits = {}) {
    RequestParser parser(limits);
    std::vector<Request> out;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        parser.feed(bytes.data() + at, std::min(step, bytes.size() - at));
        for (;;) {
            Request r;
            Status s = parser.next(r);
            if (s == Status::ready) {
                out.push_back(std::move(r));
                continue;
            }
            if (s == Status::error) {
                if (error) *error = parser.error();
                return out;
            }
            break;
        }
    }
    if (error) *error = parser.error();
    return out;
}

std::string parse_error(const std::string &bytes, Limits limits = {}) {
    std::string error;
    parse(bytes, bytes.size(), &error, limits);
    return error;
}

TEST(DaemonRequest, EveryKindParsesTheSameWhateverTheSplit) {
    test::OutboundEvent e;
    e.properties = {"severity: 3", "site: a:b"};
    e.body = std::string("x\0y\r\n", 5);
    std::string stream = kConnect + test::RawClient::subscribe_request(3, "ALARM/*", "grp", true, {"role: main"}) +
                         e.wire() + "POST /unsubscribe HTTP/1.1\r\nContent-Length: 0\r\nSubscriberID: 3\r\n\r\n" +
                         "POST /stats HTTP/1.1\r\n\r\n";
    for (std::size_t step : {std::size_t{1}, std::size_t{2}, std::size_t{7}, stream.size()}) {
        SCOPED_TRACE("step " + std::to_string(step));
        std::string error;
        auto requests = parse(stream, step, &error);
        ASSERT_EQ(error, "");
        ASSERT_EQ(requests.size(), 5u);

        const auto &c = std::get<ConnectRequest>(requests[0]);
        EXPECT_EQ(c.version, "4 ");
        EXPECT_EQ(c.formFactor, "desktop");
        EXPECT_EQ(c.selfId, "Pid=7; Home=/h");

        const auto &s = std::get<SubscribeRequest>(requests[1]);
        EXPECT_EQ(s.subscriberId, 3);
        EXPECT_EQ(s.subscription, "ALARM/*");
        EXPECT_EQ(s.component, "comp");
        EXPECT_EQ(s.mbrInterest, "grp");
        EXPECT_TRUE(s.deltas);
        ASSERT_EQ(s.properties.size(), 1u);
        EXPECT_EQ(s.properties[0].name(), "role");
        EXPECT_EQ(s.properties[0].value(), "main");

        const auto &ev = std::get<EventRequest>(requests[2]);
        EXPECT_FALSE(ev.unknownClass);
        EXPECT_EQ(ev.event.cls, kMessageNotification);
        EXPECT_EQ(ev.event.type, "ALARM/DISK");
        EXPECT_EQ(ev.event.generatingProcess, "host:1");
        ASSERT_EQ(ev.event.properties.size(), 2u);
        EXPECT_EQ(ev.event.properties[1].name(), "site");
        EXPECT_EQ(ev.event.properties[1].value(), "a:b");
        EXPECT_EQ(ev.event.body, std::string("x\0y\r\n", 5));

        EXPECT_EQ(std::get<UnsubscribeRequest>(requests[3]).subscriberId, 3);
        EXPECT_TRUE(std::holds_alternative<StatsRequest>(requests[4]));
    }
}

// The form factor is a file's bytes: it may end in a line break, which puts
// an empty line before SelfId, and may span lines.
TEST(DaemonRequest, FormFactorKeepsItsLineBreaksUpToSelfId) {
    std::string bytes = "POST /connect HTTP/1.1\r\nVersion: 4 \r\nFormFactor: desk\r\ntop\r\n\r\n"
                        "SelfId: Pid=1; Home=/x\r\n\r\n";
    std::string error;
    auto requests = parse(bytes, 1, &error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(requests.size(), 1u);
    const auto &c = std::get<ConnectRequest>(requests[0]);
    EXPECT_EQ(c.formFactor, "desk\r\ntop\r\n");
    EXPECT_EQ(c.selfId, "Pid=1; Home=/x");
}

TEST(DaemonRequest, PropertyLinesAreTakenByCountEvenWhenTheyLookLikeHeaders) {
    test::OutboundEvent e;
    e.properties = {"Content-Length: 99", "className: nonsense"};
    auto requests = parse(e.wire(), 3);
    ASSERT_EQ(requests.size(), 1u);
    const auto &ev = std::get<EventRequest>(requests[0]);
    EXPECT_EQ(ev.event.properties[0].line, "Content-Length: 99");
    EXPECT_EQ(ev.event.body, "");
    EXPECT_EQ(ev.event.cls, kMessageNotification);
}

TEST(DaemonRequest, ShortFormAndStreamEventsAndUnknownClasses) {
    test::OutboundEvent state;
    state.className = "StateGetNotification";
    state.body = "b";
    test::OutboundEvent block;
    block.className = "IncomingStreamingNotification";
    block.streamKey = "key-1";
    test::OutboundEvent odd;
    odd.className = "UnknownNotificationClass";
    auto requests = parse(state.wire() + block.wire() + odd.wire(), 5);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(std::get<EventRequest>(requests[0]).event.cls, kStateGetNotification);
    EXPECT_EQ(std::get<EventRequest>(requests[0]).event.body, "b");
    EXPECT_EQ(std::get<EventRequest>(requests[1]).event.streamKey, "key-1");
    EXPECT_TRUE(std::get<EventRequest>(requests[2]).unknownClass);
}

TEST(DaemonRequest, AnAddressListIsSkipped) {
    std::string bytes = "POST /event HTTP/1.1\r\nclassName: StateSetNotification\r\neventType: t\r\n"
                        "Content-Length: 2\r\nAddrList-Length: 3\r\n\r\nhiXYZPOST /stats HTTP/1.1\r\n\r\n";
    auto requests = parse(bytes, 1);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(std::get<EventRequest>(requests[0]).event.body, "hi");
    EXPECT_TRUE(std::holds_alternative<StatsRequest>(requests[1]));
}

TEST(DaemonRequest, TruncatedInputWaitsForMoreAndKeepsItsPlace) {
    test::OutboundEvent e;
    e.body = "0123456789";
    std::string bytes = e.wire();
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        RequestParser parser{Limits{}};
        parser.feed(bytes.data(), cut);
        Request r;
        ASSERT_EQ(parser.next(r), Status::need_more) << "cut at " << cut;
        parser.feed(bytes.data() + cut, bytes.size() - cut);
        ASSERT_EQ(parser.next(r), Status::ready) << "cut at " << cut;
        EXPECT_EQ(std::get<EventRequest>(r).event.body, "0123456789");
        EXPECT_EQ(parser.buffered(), 0u);
    }
}

TEST(DaemonRequest, BoundsAreErrorsThatNameTheBound) {
    Limits small;
    small.maxLineBytes = 32;
    small.maxHeaderLines = 4;
    small.maxProperties = 2;
    small.maxBodyBytes = 10;

    // A line over the bound fails before its end has arrived.
    std::string error;
    parse("POST /event " + std::string(40, 'x'), 1, &error, small);
    EXPECT_EQ(error, "line longer than 32 bytes");

    EXPECT_EQ(parse_error("POST /stats HTTP/1.1\r\na: 1\r\nb: 2\r\nc: 3\r\nd: 4\r\ne: 5\r\n\r\n", small),
              "more than 4 header lines in a stats request");
    EXPECT_EQ(parse_error("POST /event HTTP/1.1\r\nnumberOfProperties: 3\r\n", small),
              "line 2 of the event request: numberOfProperties must be a number from 0 to 2, not '3'");
    // A second count line cannot lift the bound.
    EXPECT_EQ(parse_error("POST /event HTTP/1.1\r\nnumberOfProperties: 2\r\na: 1\r\nb: 2\r\n"
                          "numberOfProperties: 1\r\n", small),
              "line 5 of the event request: numberOfProperties must be a number from 0 to 0, not '1'");
    EXPECT_EQ(parse_error("POST /event HTTP/1.1\r\nContent-Length: 11\r\n", small),
              "body of 11 bytes is over the limit of 10 bytes");
    EXPECT_EQ(parse_error("POST /event HTTP/1.1\r\nAddrList-Length: -1\r\n", small),
              "line 2 of the event request: AddrList-Length must be a number from 0 to 10, not '-1'");
}

TEST(DaemonRequest, MalformedRequestsSayWhatIsWrong) {
    EXPECT_EQ(parse_error("GET / HTTP/1.1\r\n"),
              "request line 'GET / HTTP/1.1' does not start with \"POST /\"");
    EXPECT_EQ(parse_error("POST /publish HTTP/1.1\r\n"), "unknown request 'POST /publish HTTP/1.1'");
    EXPECT_EQ(parse_error("POST /event SMTP\r\n"), "request line 'POST /event SMTP' has an unknown protocol");
    EXPECT_EQ(parse_error("POST /event HTTP/1.1\r\nno colon here\r\n"),
              "line 2 of the event request: header 'no colon here' has no ':'");
    EXPECT_EQ(parse_error("POST /event HTTP/1.1\r\neventType: t\r\n\r\n"),
              "event request without a className header");
    EXPECT_EQ(parse_error("POST /unsubscribe HTTP/1.1\r\nContent-Length: 0\r\n\r\n"),
              "unsubscribe request without a SubscriberID header");
    EXPECT_EQ(parse_error("POST /subscribe HTTP/1.1\r\nSubscriberID: 12x\r\n"),
              "line 2 of the subscribe request: SubscriberID must be a number from -2147483648 to "
              "2147483647, not '12x'");
    EXPECT_EQ(parse_error("POST /event HTTP/1.1\r\nSubscriberID: " + std::string(40, '9') + "\r\n"),
              "line 2 of the event request: SubscriberID must be a number from -2147483648 to "
              "2147483647, not '" + std::string(40, '9') + "'");
    EXPECT_EQ(parse_error("POST /subscribe HTTP/1.1\r\nSubscriberID: 1\r\nContent-Length: 4\r\n\r\n"),
              "subscribe request announces a body, which it may not have");
    EXPECT_EQ(parse_error("POST /event HTTP/1.1\r\nclassName: MessageNotification\r\nnumberOfProperties: 1\r\n"
                          "\x01\x02\r\n"),
              "line 4 of the event request: property '\\x01\\x02' has no ':'");
}

TEST(DaemonRequest, AfterAnErrorTheParserStaysFailed) {
    RequestParser parser{Limits{}};
    std::string bad = "junk\r\n";
    parser.feed(bad.data(), bad.size());
    Request r;
    ASSERT_EQ(parser.next(r), Status::error);
    std::string good = "POST /stats HTTP/1.1\r\n\r\n";
    parser.feed(good.data(), good.size());
    EXPECT_EQ(parser.next(r), Status::error);
}

}  // namespace
}  // namespace vavevard
