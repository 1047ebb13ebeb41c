// Inbound event messages as the daemon sends them, including hostile ones.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "notification/event_wire.h"
#include "port/memory.h"
#include "runtime/conn.h"
#include "support/alloc_fault.h"
#include "support/socket_pair.h"
#include "vavevar.h"

namespace vavevar {
namespace {

// The inbound layout; the time header names are the daemon's choice, only
// their 14-byte length is fixed.
struct Inbound {
    std::string className = "MessageNotification";
    std::string ids = "4";
    std::string type = "plant.alarm";
    std::string id = "host:42:1";
    std::string created = "1767225600123";
    std::string delivered = "1767225600456";
    std::vector<std::string> propertyLines;
    std::string numberOfProperties;  // defaults to the number of lines
    std::string streamKey = "key-1";
    std::string body;
    std::string addrList;
    bool full = true;

    std::string text() const {
        std::string t = "className: " + className + "\r\nSubscriberID: " + ids +
                        "\r\neventType: " + type + "\r\neventId: " + id +
                        "\r\nCreationTime: " + created + "\r\nDeliverTime:  " + delivered + "\r\n";
        if (full) {
            t += "affectedComponents: ac\r\naffectedNodes: an\r\ngeneratingComponent: gc\r\n"
                 "generatingProcess: gp\r\ngeneratingNode: gn\r\ninstanceName: in\r\n"
                 "LocalOnly: true\r\n";
            t += "numberOfProperties: " +
                 (numberOfProperties.empty() ? std::to_string(propertyLines.size())
                                             : numberOfProperties) +
                 "\r\n";
            for (const std::string &line : propertyLines) t += line + "\r\n";
            if (className == "IncomingStreamingNotification") t += "streamKey: " + streamKey + "\r\n";
        }
        t += "Content-Length: " + std::to_string(body.size()) + "\r\nAddrList-Length: " +
             std::to_string(addrList.size()) + "\r\n\r\n" + body + addrList;
        return t;
    }
};

// Reads one message fed from `text`; keeps the result and the identifiers.
struct Read {
    lumo_notification *n = nullptr;
    std::int32_t *ids = nullptr;
    std::int32_t count = -1;
    std::string rest;  // what stayed unread behind the message

    explicit Read(const std::string &text, bool trailer = true) {
        test::SocketPair pair;
        lumo_conn *conn = lumo_conn_create(pair.library());
        std::thread feeder([&] {
            pair.peer_send(text + (trailer ? "NEXT\n" : ""));
            pair.close_peer();
        });
        n = lumo_event_read(conn, &ids, &count);
        char *line = nullptr;
        if (n != nullptr && lumo_conn_readline(conn, &line)) rest = line;
        feeder.join();
        lumo_conn_free(conn);
    }
    ~Read() {
        lumo_notification_destroy(n);
        lumo_free(ids);
    }
    std::vector<std::string> properties() const {
        std::vector<std::string> out;
        for (const lumo_propnode *p = n->properties; p; p = p->next)
            out.push_back(std::string(p->name) + "=" + p->value);
        return out;
    }
};

TEST(EventRead, FullMessageFillsEveryFieldAndStopsAtItsEnd) {
    Inbound in;
    in.propertyLines = {"a: 1", "b: two words"};
    in.body = std::string("12\0x5", 5);
    Read r(in.text());
    ASSERT_NE(r.n, nullptr);
    EXPECT_EQ(::lumo_notification_getClass(r.n), 0);
    ASSERT_EQ(r.count, 1);
    EXPECT_EQ(r.ids[0], 4);
    EXPECT_STREQ(r.n->type, "plant.alarm");
    EXPECT_STREQ(r.n->id, "host:42:1");
    EXPECT_EQ(r.n->creationTime, INT64_C(1767225600123));
    EXPECT_EQ(r.n->deliveryTime, INT64_C(1767225600456));
    EXPECT_STREQ(r.n->affectedComponents, "ac");
    EXPECT_STREQ(r.n->affectedNodes, "an");
    EXPECT_STREQ(r.n->generatingComponent, "gc");
    EXPECT_STREQ(r.n->generatingProcess, "gp");
    EXPECT_STREQ(r.n->generatingNode, "gn");
    EXPECT_STREQ(r.n->instanceName, "in");
    EXPECT_EQ(r.n->localOnly, 1);
    // Read in order and pushed in front, so the chain is reversed.
    EXPECT_EQ(r.properties(), (std::vector<std::string>{"b=two words", "a=1"}));
    ASSERT_EQ(r.n->bodyLength, 5);
    EXPECT_EQ(std::string(r.n->body, 5), std::string("12\0x5", 5));
    EXPECT_EQ(r.n->body[5], '\0');
    EXPECT_EQ(r.rest, "NEXT");
}

TEST(EventRead, IdentifierListsAreSplitAtSemicolons) {
    Inbound in;
    in.ids = "3;7;12";
    Read three(in.text());
    ASSERT_EQ(three.count, 3);
    EXPECT_EQ(three.ids[0], 3);
    EXPECT_EQ(three.ids[1], 7);
    EXPECT_EQ(three.ids[2], 12);
    in.ids = "5;";
    Read trailing(in.text());
    ASSERT_EQ(trailing.count, 2);
    EXPECT_EQ(trailing.ids[0], 5);
    EXPECT_EQ(trailing.ids[1], 0);
    ASSERT_NE(trailing.n, nullptr);
}

TEST(EventRead, EmptyIdentifierLineFailsTheRead) {
    Inbound in;
    in.ids = "";
    Read r(in.text());
    EXPECT_EQ(r.n, nullptr);
    EXPECT_EQ(r.ids, nullptr);
}

TEST(EventRead, ShortFormGoesFromTheTimesStraightToTheLengths) {
    for (const char *cls : {"MembershipListNotification", "MembershipDeltaNotification",
                            "StateGetNotification", "StateSetNotification",
                            "LeaveGroupNotification"}) {
        Inbound in;
        in.className = cls;
        in.full = false;
        in.body = "state";
        Read r(in.text());
        ASSERT_NE(r.n, nullptr) << cls;
        EXPECT_STREQ(lumo_class_name(r.n->notificationClass), cls);
        EXPECT_EQ(r.n->generatingComponent, nullptr);
        EXPECT_EQ(r.n->bodyLength, 5);
        EXPECT_EQ(r.rest, "NEXT");
    }
}

TEST(EventRead, StreamKeyIsReadForClassFourOnly) {
    Inbound in;
    in.className = "IncomingStreamingNotification";
    in.propertyLines = {"p: v"};
    Read incoming(in.text());
    ASSERT_NE(incoming.n, nullptr);
    EXPECT_STREQ(incoming.n->streamKey, "key-1");
    EXPECT_EQ(incoming.rest, "NEXT");

    in.className = "OutgoingStreamingNotification";
    Read outgoing(in.text());
    ASSERT_NE(outgoing.n, nullptr);
    EXPECT_EQ(outgoing.n->streamKey, nullptr);
    EXPECT_EQ(outgoing.rest, "NEXT");
}

TEST(EventRead, LocalOnlyIsExactlyTrue) {
    for (const char *value : {"TRUE", "True", "true ", "1"}) {
        Inbound in;
        std::string text = in.text();
        text.replace(text.find("LocalOnly: true"), 15, std::string("LocalOnly: ") + value);
        Read r(text);
        ASSERT_NE(r.n, nullptr);
        EXPECT_EQ(r.n->localOnly, 0) << value;
    }
}

TEST(EventRead, TimesTakeTheFirstDigitRunAnywhere) {
    Inbound in;
    in.created = "at 1767225600999 ms";
    in.delivered = "t=-42x7";
    Read r(in.text());
    ASSERT_NE(r.n, nullptr);
    EXPECT_EQ(r.n->creationTime, INT64_C(1767225600999));
    EXPECT_EQ(r.n->deliveryTime, -42);
    EXPECT_EQ(lumo_wire_extract_number("no digits"), 0);
    EXPECT_EQ(lumo_wire_extract_number("99999999999999999999999"), INT64_MAX);
}

TEST(EventRead, PropertyLinesWithoutAColonCountButCarryNothing) {
    Inbound in;
    in.propertyLines = {"no colon here", "k:", "x:y", "name: value: more"};
    Read r(in.text());
    ASSERT_NE(r.n, nullptr);
    EXPECT_EQ(r.properties(), (std::vector<std::string>{"name=value: more", "x=", "k="}));
    EXPECT_EQ(r.rest, "NEXT");
}

TEST(EventRead, ZeroOrNegativePropertyCountReadsNoLines) {
    for (const char *count : {"0", "-3"}) {
        Inbound in;
        in.numberOfProperties = count;
        Read r(in.text());
        ASSERT_NE(r.n, nullptr) << count;
        EXPECT_EQ(r.n->properties, nullptr);
        EXPECT_EQ(r.rest, "NEXT");
    }
}

TEST(EventRead, NoBodyGivesANullBodyAndTheAddressListIsSkipped) {
    Inbound in;
    in.addrList = "10.0.0.1;10.0.0.2";
    Read r(in.text());
    ASSERT_NE(r.n, nullptr);
    EXPECT_EQ(r.n->body, nullptr);
    EXPECT_EQ(r.n->bodyLength, 0);
    EXPECT_EQ(r.rest, "NEXT");
}

TEST(EventRead, UnknownClassIsReportedAndFails) {
    for (const char *cls : {"UnknownNotificationClass", "messagenotification", ""}) {
        Inbound in;
        in.className = cls;
        testing::internal::CaptureStderr();
        Read r(in.text());
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Notification Read Error: unknown class of notification\n");
        EXPECT_EQ(r.n, nullptr);
        ASSERT_EQ(r.count, 1);  // the identifiers stay with the caller
        EXPECT_EQ(r.ids[0], 4);
    }
}

TEST(EventRead, TruncationAnywhereFailsCleanly) {
    Inbound in;
    in.className = "IncomingStreamingNotification";
    in.propertyLines = {"a: 1", "b: 2"};
    in.body = "body bytes";
    in.addrList = "addr";
    const std::string text = in.text();
    for (std::size_t cut = 0; cut < text.size(); ++cut) {
        testing::internal::CaptureStderr();
        Read r(text.substr(0, cut), false);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.n, nullptr) << "cut at " << cut;
    }
    Read whole(text, false);
    EXPECT_NE(whole.n, nullptr);
}

TEST(EventRead, HostileLengthsNeverReadOutOfBounds) {
    Inbound in;
    std::string text = in.text();
    text.replace(text.find("Content-Length: 0"), 17, "Content-Length: -5");
    Read negative(text);
    ASSERT_NE(negative.n, nullptr);
    EXPECT_EQ(negative.n->body, nullptr);

    text = in.text();
    text.replace(text.find("Content-Length: 0"), 17, "Content-Length: 99999999999999");
    testing::internal::CaptureStderr();
    Read huge(text);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(huge.n, nullptr);  // clamped, then short
}

TEST(EventRead, OutOfMemoryAnywhereReleasesEverything) {
    Inbound in;
    in.className = "IncomingStreamingNotification";
    in.propertyLines = {"a: 1", "b: 2"};
    in.body = "body";
    in.addrList = "x";
    const std::string text = in.text();
    int tried = test::for_each_allocation_failure([&] {
        Read r(text);
        return r.n != nullptr;
    });
    EXPECT_GT(tried, 10);
}

TEST(EventWire, WrittenMessagesReadBackWithPropertiesInWriteOrder) {
    // What the writer emits, given the daemon's two time headers, reads back.
    lumo_notification *n = ::lumo_notification_create("round.trip", "abc", 3);
    ::lumo_notification_setProperty(n, "a", "1");
    ::lumo_notification_setProperty(n, "b", "2");
    test::SocketPair pair;
    lumo_conn *out = lumo_conn_create(pair.library());
    ASSERT_EQ(lumo_event_write_with_instance(n, out, "i", 1), 1);
    std::string sent = pair.peer_receive_all();
    lumo_conn_free(out);
    lumo_notification_destroy(n);

    std::string inbound = sent.substr(sent.find('\n') + 1);
    std::size_t after_id = inbound.find("eventId: ");
    after_id = inbound.find('\n', after_id) + 1;
    inbound.insert(after_id, "CreationTime: 1\r\nDeliverTime:  2\r\n");
    Read r(inbound);
    ASSERT_NE(r.n, nullptr);
    EXPECT_EQ(r.properties(), (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_EQ(std::string(r.n->body, 3), "abc");
}

}  // namespace
}  // namespace vavevar
