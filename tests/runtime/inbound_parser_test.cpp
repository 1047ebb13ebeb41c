// What the daemon sends, cut into messages by the push parser without a
// socket: the connect reply, status answers, events and stray lines, fed in
// pieces of any size.
#include "runtime/inbound_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "port/memory.h"
#include "support/daemon_wire.h"
#include "wire/event_texts.h"
#include "wire/flow_texts.h"

namespace vavevar {
namespace {

using test::handshake_reply;
using test::InboundEvent;
using test::reply_lines;
using test::StatusMessage;

// One line per message, releasing what the message handed over.
std::string describe(InboundMessage &m) {
    using Kind = InboundMessage::Kind;
    std::string out;
    switch (m.kind) {
    case Kind::instance_name: return std::string("instance ") + m.text;
    case Kind::connect_reply: return m.success ? "reply accepted" : "reply refused";
    case Kind::unknown_line: return std::string("unknown ") + m.text;
    case Kind::status:
        out = "status " + std::to_string(m.subscriberId) + (m.success ? " success " : " failure ") +
              (m.message != nullptr ? m.message : "(none)");
        lumo_free(m.message);
        return out;
    case Kind::gap: return "gap " + std::to_string(m.subscriberId) + " " + std::to_string(m.count);
    case Kind::event:
        out = m.replayed ? "replay" : "event";
        for (std::int32_t i = 0; i < m.idCount; ++i) out += (i == 0 ? " " : ";") + std::to_string(m.ids[i]);
        out += std::string(" ") + m.notification->type + " " +
               std::string(m.notification->body != nullptr ? m.notification->body : "");
        lumo_notification_destroy(m.notification);
        lumo_free(m.ids);
        return out;
    }
    return "?";
}

struct Parsed {
    std::vector<std::string> messages;
    InboundParser::Status last = InboundParser::Status::need_more;
};

// Feeds `bytes` in pieces of `piece` bytes and takes every message between them.
Parsed parse(const std::string &bytes, std::size_t piece, bool connecting = true) {
    InboundParser parser(connecting);
    Parsed out;
    for (std::size_t at = 0; at < bytes.size() && out.last != InboundParser::Status::failed; at += piece) {
        if (!parser.feed(bytes.data() + at, std::min(piece, bytes.size() - at))) break;
        InboundMessage m;
        while ((out.last = parser.next(m)) == InboundParser::Status::ready) out.messages.push_back(describe(m));
    }
    return out;
}

std::vector<std::string> messages(const std::string &bytes, bool connecting = false) {
    return parse(bytes, bytes.size(), connecting).messages;
}

TEST(InboundParser, AConnectionGivesTheSameMessagesInAnySplit) {
    InboundEvent one;
    one.subscriber_ids = "3";
    one.event_type = "first";
    one.body = "payload";
    InboundEvent two = one;
    two.subscriber_ids = "4;5";
    two.event_type = "second";
    two.class_name = "StateSetNotification";
    const std::string stream = handshake_reply("alpha") + StatusMessage{"success", "2", {}}.bytes() + one.bytes() +
                               "POST /bogus HTTP/1.1\r\n" + two.bytes() +
                               StatusMessage{"failure", "9", "not allowed"}.bytes();
    const std::vector<std::string> expected{
        "instance alpha",     "reply accepted",          "status 2 success (none)",
        "event 3 first payload", "unknown POST /bogus HTTP/1.1", "event 4;5 second payload",
        "status 9 failure not allowed"};
    for (std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{5}, std::size_t{64}}) {
        Parsed p = parse(stream, piece);
        EXPECT_EQ(p.messages, expected) << "pieces of " << piece;
        EXPECT_EQ(p.last, InboundParser::Status::need_more);
    }
}

TEST(InboundParser, GapNoticesAndReplayedEventsComeInAnySplitBetweenOtherMessages) {
    InboundEvent event;
    event.subscriber_ids = "7";
    event.event_type = "again";
    event.body = "same";
    std::string replay = event.bytes();
    ASSERT_EQ(replay.rfind(wire::kEventLine, 0), 0u);
    replay.replace(0, wire::kEventLine.size(), wire::kReplayLine);
    const std::string gap = std::string(wire::kGapLine) + "SubscriberID: 7\r\nskipped: 1234\r\n\r\n";
    // A notice without an identifier tells nobody and breaks nothing; one
    // without a count counts nothing; counts beyond 32 bits survive.
    const std::string stream = gap + replay + "POST /gap HTTP/1.1\r\nskipped: 5\r\n\r\n" + event.bytes() +
                               "POST /gap HTTP/1.1\r\nSubscriberID: 2\r\n\r\n" +
                               "POST /gap HTTP/1.1\r\nskipped: 8589934592\r\nSubscriberID: 3\r\n\r\n" +
                               StatusMessage{"success", "2", {}}.bytes();
    const std::vector<std::string> expected{"gap 7 1234", "replay 7 again same", "event 7 again same", "gap 2 0",
                                            "gap 3 8589934592", "status 2 success (none)"};
    for (std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{7}}) {
        Parsed p = parse(stream, piece, false);
        EXPECT_EQ(p.messages, expected) << "pieces of " << piece;
        EXPECT_EQ(p.last, InboundParser::Status::need_more);
    }
}

TEST(InboundParser, TheReplyIsReadByLineNumbersUpToItsEmptyLine) {
    auto reply = [](std::vector<std::string> lines) { return messages(reply_lines(lines), true); };
    EXPECT_EQ(reply({"x", "y", "Result: success"}), std::vector<std::string>{"reply accepted"});
    for (const char *refused : {"Result: Success", "Result: success ", "Result:success"})
        EXPECT_EQ(reply({"x", "y", refused}), std::vector<std::string>{"reply refused"}) << refused;
    EXPECT_EQ(reply({"x", "Result: success", "y"}), std::vector<std::string>{"reply refused"});
    // Line 9 names the instance only under that header; line 10 never does.
    std::vector<std::string> lines{"1", "2", "Result: success", "4", "5", "6", "7", "8", "instance: no"};
    EXPECT_EQ(reply(lines), std::vector<std::string>{"reply accepted"});
    lines.back() = "instanceName: ";
    EXPECT_EQ(reply(lines), (std::vector<std::string>{"instance ", "reply accepted"}));
    lines.back() = "9";
    lines.push_back("instanceName: late");
    EXPECT_EQ(reply(lines), std::vector<std::string>{"reply accepted"});
    // An empty first line is the whole reply; what follows is messages.
    EXPECT_EQ(messages("\r\nPOST /x\r\n", true), (std::vector<std::string>{"reply refused", "unknown POST /x"}));
}

TEST(InboundParser, MessageLinesAreTakenByWhatFollowsTheirFirstSixBytes) {
    const std::string answer = "Result: success\r\nSubscriberID: 1\r\n\r\n";
    EXPECT_EQ(messages("GET  /status\r\n" + answer), std::vector<std::string>{"status 1 success (none)"});
    EXPECT_EQ(messages("POST /statusx HTTP/1.0\r\n" + answer), std::vector<std::string>{"status 1 success (none)"});
    std::string event = InboundEvent{}.bytes();
    event.replace(0, 6, "xxxxxx");
    EXPECT_EQ(messages(event), std::vector<std::string>{"event 1 test.event "});
    EXPECT_EQ(messages("POST /stat\r\nshort\r\n\r\nPOST /\r\n"),
              (std::vector<std::string>{"unknown POST /stat", "unknown short", "unknown ", "unknown POST /"}));
}

TEST(InboundParser, StatusAnswersTakeTheirLastHeaders) {
    EXPECT_EQ(messages("POST /status\r\nMessage: first\r\nno colon\r\nSubscriberID: 7x\r\nMessage: kept\r\n"
                       "Result:failure\r\nResult: success\r\n\r\n"
                       "POST /status\r\nSubscriberID: -2\r\nMessage: \r\n\r\n"),
              (std::vector<std::string>{"status 7 success kept", "status -2 failure (none)"}));
}

TEST(InboundParser, AMessageWithoutAnIdentifierFailsForGood) {
    InboundEvent no_ids;
    no_ids.subscriber_ids = "";
    for (const std::string &broken : std::vector<std::string>{"POST /status\r\n\r\n",
                                                               "POST /status\r\nResult: success\r\n\r\n",
                                                               no_ids.bytes()}) {
        Parsed p = parse(broken + StatusMessage{}.bytes(), 1, false);
        EXPECT_TRUE(p.messages.empty()) << broken;
        EXPECT_EQ(p.last, InboundParser::Status::failed) << broken;
    }
}

TEST(InboundParser, HoldsOneLineOrOneAnnouncedBodyBeyondWhatItParsed) {
    InboundParser parser(false);
    InboundEvent event;
    event.body = std::string(300, 'b');
    const std::string bytes = event.bytes();
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(parser.feed(bytes.data(), bytes.size()));
        InboundMessage m;
        ASSERT_EQ(parser.next(m), InboundParser::Status::ready);
        describe(m);
        ASSERT_EQ(parser.next(m), InboundParser::Status::need_more);
    }
    EXPECT_LE(parser.held(), 2 * (bytes.size() + InputBuffer::kInputRoom));

    // A body announced and not sent: its first block, and what is missing of it.
    event.content_length = std::to_string(3000);
    const std::string head = event.bytes().substr(0, event.bytes().size() - 300);
    ASSERT_TRUE(parser.feed(head.data(), head.size()));
    InboundMessage m;
    EXPECT_EQ(parser.next(m), InboundParser::Status::need_more);
    EXPECT_EQ(parser.body_missing(), 3000u);
    ASSERT_TRUE(parser.feed("abc", 3));
    EXPECT_EQ(parser.next(m), InboundParser::Status::need_more);
    EXPECT_EQ(parser.body_missing(), 2997u);
}

}  // namespace
}  // namespace vavevar
