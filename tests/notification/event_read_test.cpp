// Inbound event messages as the daemon sends them, including hostile ones,
// fed to the push parser whole and one byte at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "notification/event_read.h"
#include "port/decimal.h"
#include "port/memory.h"
#include "support/alloc_fault.h"
#include "support/daemon_wire.h"

namespace vavevar {
namespace {

using test::InboundEvent;

// The message without its message line, which the inbound parser has read
// before handing over to the event reader.
std::string after_message_line(const InboundEvent &event) {
    std::string bytes = event.bytes();
    return bytes.substr(bytes.find('\n') + 1);
}

// Parses one event from `text` (followed by "NEXT\n" when `trailer`), fed in
// pieces of `piece` bytes, and keeps the result, the identifiers and the line
// that followed the event. A reader that is still waiting for bytes when the
// input ends gives no notification, as one that failed.
struct Read {
    lumo_notification *n = nullptr;
    std::int32_t *ids = nullptr;
    std::int32_t count = -1;
    EventReader::Status status = EventReader::Status::need_more;
    std::string rest;

    explicit Read(const std::string &text, bool trailer = true, std::size_t piece = SIZE_MAX) {
        const std::string input = text + (trailer ? "NEXT\n" : "");
        InputBuffer in;
        EventReader reader;
        std::size_t at = 0;
        while (status == EventReader::Status::need_more && at < input.size()) {
            std::size_t size = std::min(piece, input.size() - at);
            if (!in.feed(input.data() + at, size)) return;
            at += size;
            status = reader.parse(in);
        }
        if (status != EventReader::Status::done) return;
        n = reader.take(&ids, &count);
        // What follows the event, the line after it included.
        if (!in.feed(input.data() + at, input.size() - at)) return;
        std::size_t left = in.buffered();
        std::string tail(left, '\0');
        in.take(tail.data(), left);
        rest = tail.substr(0, tail.find('\n'));
    }
    explicit Read(const InboundEvent &event, std::size_t piece = SIZE_MAX)
        : Read(after_message_line(event), true, piece) {}
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

TEST(EventRead, AFullMessageIsReadExactlyInAnySplit) {
    InboundEvent in;
    // Only the lengths of the time header names are fixed.
    in.creation_time_name = "CreationTime";
    in.delivery_time_name = "DeliverTime ";
    in.subscriber_ids = "4";
    in.affected_components = "ac";
    in.affected_nodes = "an";
    in.local_only = "true";
    in.property_lines = {"a: 1", "b: two words"};
    in.body = std::string("12\0x5", 5);
    in.address_list = "10.0.0.1;10.0.0.2";
    for (std::size_t piece : {SIZE_MAX, std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        Read r(in, piece);
        ASSERT_NE(r.n, nullptr);
        ASSERT_EQ(r.count, 1);
        EXPECT_EQ(r.ids[0], 4);
        std::string texts;
        for (const char *t : {r.n->type, r.n->id, r.n->affectedComponents, r.n->affectedNodes, r.n->generatingComponent,
                              r.n->generatingProcess, r.n->generatingNode, r.n->instanceName})
            texts += std::string(t) + "|";
        EXPECT_EQ(texts, "test.event|id-1|ac|an|publisher|4242|node-1|fake-instance|");
        EXPECT_EQ(r.n->notificationClass, 0);
        EXPECT_EQ(r.n->creationTime, INT64_C(1700000000123));
        EXPECT_EQ(r.n->deliveryTime, INT64_C(1700000000456));
        EXPECT_EQ(r.n->localOnly, 1);
        // Read in order and pushed in front, so the chain is reversed.
        EXPECT_EQ(r.properties(), (std::vector<std::string>{"b=two words", "a=1"}));
        ASSERT_EQ(r.n->bodyLength, 5);
        EXPECT_EQ(std::string(r.n->body, 6), std::string("12\0x5\0", 6));
        EXPECT_EQ(r.rest, "NEXT");  // the address list was skipped
    }
}

// A received notification shares one block with its texts; the application
// may still change it as any other (here as a republish does) and destroy
// it: what replaced a text is freed, the block's texts are not (the
// sanitizer build checks every free).
TEST(EventRead, AReceivedNotificationIsChangedAndDestroyedLikeAnyOther) {
    InboundEvent in;
    in.class_name = "IncomingStreamingNotification";
    in.stream_key = "key-1";
    in.property_lines = {"a: 1", "b: 2"};
    Read r(in);
    ASSERT_NE(r.n, nullptr);
    EXPECT_EQ(vavevar::lumo_notification_setProperty(r.n, "c", "3"), 0);
    ASSERT_TRUE(lumo_notification_stampForPublish(r.n, "c1", "n1", "p1", "id-1", 6));
    ASSERT_TRUE(lumo_notification_stampForPublish(r.n, "comp", "node", nullptr, "id-2", 7));
    ASSERT_TRUE(lumo_notification_setStream(r.n, nullptr));
    EXPECT_STREQ(r.n->generatingComponent, "comp");
    EXPECT_STREQ(r.n->generatingNode, "node");
    EXPECT_EQ(r.n->generatingProcess, nullptr);
    EXPECT_STREQ(r.n->streamKey, "id-2");
    EXPECT_STREQ(r.n->type, "test.event");
    EXPECT_EQ(r.properties(), (std::vector<std::string>{"c=3", "b=2", "a=1"}));
    EXPECT_STREQ(vavevar::lumo_notification_getProperty(r.n, "a"), "1");
}

TEST(EventRead, FormAndStreamKeyFollowTheClass) {
    // The first three have the full form; only the third has a stream key.
    const char *names[] = {"MessageNotification", "OutgoingStreamingNotification",
                           "IncomingStreamingNotification", "MembershipListNotification",
                           "MembershipDeltaNotification", "StateGetNotification",
                           "StateSetNotification", "LeaveGroupNotification"};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        InboundEvent in;
        in.class_name = names[i];
        in.stream_key = "key-1";
        in.property_lines = {"p: v"};
        in.body = "state";
        Read r(in);
        ASSERT_NE(r.n, nullptr) << names[i];
        EXPECT_EQ(wire::class_name(r.n->notificationClass), names[i]);
        EXPECT_EQ(r.n->generatingComponent != nullptr, i < 3) << names[i];
        EXPECT_EQ(r.n->properties != nullptr, i < 3) << names[i];
        EXPECT_STREQ(r.n->streamKey, i == 2 ? "key-1" : nullptr) << names[i];
        EXPECT_EQ(std::string(r.n->body, 5), "state");
        EXPECT_EQ(r.rest, "NEXT") << names[i];
    }
}

TEST(EventRead, IdentifierListsAreSplitAtSemicolonsAndAnEmptyOneFails) {
    InboundEvent in;
    for (auto [list, ids] : {std::pair<const char *, std::vector<std::int32_t>>{"3;7;12", {3, 7, 12}},
                             {"5;", {5, 0}}}) {
        in.subscriber_ids = list;
        Read r(in);
        ASSERT_NE(r.n, nullptr) << list;
        EXPECT_EQ(std::vector<std::int32_t>(r.ids, r.ids + r.count), ids);
    }
    in.subscriber_ids = "";
    Read empty(in);
    EXPECT_EQ(empty.n, nullptr);
    EXPECT_EQ(empty.ids, nullptr);
}

TEST(EventRead, HeaderValuesAreTakenAsTheDaemonWritesThem) {
    InboundEvent in;
    in.creation_time = "at 1767225600999 ms";  // the first digit run anywhere
    in.delivery_time = "t=-42x7";
    in.local_only = "TRUE";                    // only "true" is true
    in.property_lines = {"no colon here", "k:", "x:y", "name: value: more"};
    Read r(in);
    ASSERT_NE(r.n, nullptr);
    EXPECT_EQ(r.n->creationTime, INT64_C(1767225600999));
    EXPECT_EQ(r.n->deliveryTime, -42);
    EXPECT_EQ(r.n->localOnly, 0);
    // Split at the first colon; a line without one counts but carries nothing.
    EXPECT_EQ(r.properties(), (std::vector<std::string>{"name=value: more", "x=", "k="}));
    EXPECT_EQ(r.rest, "NEXT");
    EXPECT_EQ(lumo_wire_extract_number("no digits"), 0);
    EXPECT_EQ(lumo_wire_extract_number("99999999999999999999999"), INT64_MAX);

    InboundEvent none;
    none.number_of_properties = "-3";
    Read negative(none);
    ASSERT_NE(negative.n, nullptr);
    EXPECT_EQ(negative.n->properties, nullptr);
    EXPECT_EQ(negative.rest, "NEXT");
}

TEST(EventRead, HostileLengthsNeverReadOutOfBounds) {
    InboundEvent in;
    in.body = "ignored";
    in.content_length = "-5";
    Read negative(after_message_line(in), false);
    ASSERT_NE(negative.n, nullptr);
    EXPECT_EQ(negative.n->body, nullptr);
    EXPECT_EQ(negative.n->bodyLength, 0);

    in.content_length = "99999999999999";  // clamped, then never complete
    Read huge(in);
    EXPECT_EQ(huge.n, nullptr);

    // A length announced but not sent costs no more than a first block of
    // 1 MiB, and then only the doubling of what really came.
    in.content_length = std::to_string(INT32_MAX);
    in.body = std::string(10, 'b');
    InputBuffer buffer;
    EventReader reader;
    ASSERT_TRUE(buffer.feed(after_message_line(in).data(), after_message_line(in).size()));
    EXPECT_EQ(reader.parse(buffer), EventReader::Status::need_more);
    EXPECT_EQ(reader.body_missing(), (1u << 20) - 10);
    const std::string block((1u << 20) - 10, 'b');
    ASSERT_TRUE(buffer.feed(block.data(), block.size()));
    EXPECT_EQ(reader.parse(buffer), EventReader::Status::need_more);
    EXPECT_EQ(reader.body_missing(), 1u << 20);
}

TEST(EventRead, AnUnknownClassFailsWithAReportOnceItsTimesAreRead) {
    for (const char *cls : {"UnknownNotificationClass", "messagenotification", ""}) {
        InboundEvent in;
        in.class_name = cls;
        const std::string text = after_message_line(in);
        testing::internal::CaptureStderr();
        Read before_the_times(text.substr(0, text.find("creationTime")), false);
        Read r(in, 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Notification Read Error: unknown class of notification\n");
        EXPECT_EQ(before_the_times.status, EventReader::Status::need_more);
        EXPECT_EQ(r.status, EventReader::Status::failed);
        EXPECT_EQ(r.n, nullptr);
    }
}

InboundEvent every_part() {
    InboundEvent in;
    in.class_name = "IncomingStreamingNotification";
    in.property_lines = {"a: 1", "b: 2"};
    in.body = "body bytes";
    in.address_list = "addr";
    return in;
}

TEST(EventRead, ATruncatedMessageWaitsForTheRest) {
    const std::string text = after_message_line(every_part());
    for (std::size_t cut = 0; cut < text.size(); ++cut) {
        Read r(text.substr(0, cut), false);
        EXPECT_EQ(r.status, EventReader::Status::need_more) << "cut at " << cut;
        EXPECT_EQ(r.n, nullptr) << "cut at " << cut;
    }
}

TEST(EventRead, OutOfMemoryAnywhereFailsCleanly) {
    const std::string text = after_message_line(every_part());
    // The leak checker of the sanitizer build sees what a failure leaves.
    // Few places can fail: the record shares one block with its texts and
    // properties; besides it come the identifiers, the body and the room in
    // which the texts are gathered (a few growths for a first event).
    int places = test::for_each_allocation_failure([&] { return Read(text).n != nullptr; });
    EXPECT_GE(places, 3);
    EXPECT_LE(places, 6);
}

}  // namespace
}  // namespace vavevar
