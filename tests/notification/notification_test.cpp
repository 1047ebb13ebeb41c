// Notifications through the exported interface, the internal operations that
// publishing, delivery and streams rely on, and their text form.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "notification/notification.h"
#include "notification/notification_text.h"
#include "port/memory.h"
#include "support/alloc_fault.h"
#include "vavevar.h"

namespace vavevar {
namespace {

struct Destroy {
    void operator()(lumo_notification *n) const { lumo_notification_destroy(n); }
};
using Owned = std::unique_ptr<lumo_notification, Destroy>;

constexpr char kIllegalName[] =
    "ILLEGAL PROPERTY NAME [Property name must not contain ':', '\\r', or '\\n']";
constexpr char kIllegalValue[] =
    "ILLEGAL PROPERTY VALUE [Property value must not contain '\\r' or '\\n']";

// Wherever memory runs out, creation gives null and leaves nothing behind
// (the leak checker looks); once it succeeds the notification holds copies.
TEST(Notification, CreationCopiesWhatItIsGivenOrWithoutMemoryGivesNull) {
    char type[] = "alarm", body[] = "a\0c-and-more";
    Owned o;
    int tried = test::for_each_allocation_failure([&] {
        o.reset(::lumo_notification_create(type, body, 3));  // ASan catches a read past the three bytes
        return o != nullptr;
    });
    EXPECT_GT(tried, 0);
    ASSERT_NE(o.get(), nullptr);
    type[0] = body[0] = 'X';
    EXPECT_STREQ(::lumo_notification_type(o.get()), "alarm");
    int32_t length = -7;
    const char *stored = ::lumo_notification_body(o.get(), &length);
    ASSERT_EQ(length, 3);
    EXPECT_EQ(std::string(stored, 3), std::string("a\0c", 3));
    EXPECT_EQ(::lumo_notification_localOnly(o.get()), 0);
    ::lumo_notification_setLocalOnly(o.get());
    EXPECT_EQ(::lumo_notification_localOnly(o.get()), 1);
    for (int32_t given : {0, -5}) {  // no body, but the length is kept
        Owned none(::lumo_notification_create("t", "ignored", given));
        EXPECT_EQ(::lumo_notification_body(none.get(), &length), nullptr);
        EXPECT_EQ(length, given);
        EXPECT_TRUE(lumo_notification_hasNoBody(none.get()));
    }
    // A taken body is the caller's own (copied out of the record's block).
    char *taken = lumo_notification_takeBody(o.get());
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(std::string(taken, 3), std::string("a\0c", 3));
    EXPECT_TRUE(lumo_notification_hasNoBody(o.get()));
    EXPECT_EQ(::lumo_notification_body(o.get(), &length), nullptr);
    EXPECT_EQ(length, 0);
    lumo_free(taken);
    EXPECT_EQ(lumo_notification_takeBody(o.get()), nullptr);
}

// Wherever memory runs out, a set returns -2 and the properties stay as they
// were; an illegal text is substituted only in a set that succeeds.
TEST(Notification, SetThatRunsOutOfMemoryChangesNothing) {
    Owned o(::lumo_notification_create("t", nullptr, 0));
    ASSERT_EQ(::lumo_notification_setProperty(o.get(), "size", "9"), 0);
    for (const char *value : {"A", "bad\n"}) {
        const lumo_propnode *before = o->properties;
        const char *colour = ::lumo_notification_getProperty(o.get(), "colour");
        int32_t result = 0;
        int tried = test::for_each_allocation_failure([&] {
            result = ::lumo_notification_setProperty(o.get(), "colour", value);
            if (result == -2) {
                EXPECT_EQ(o->properties, before);
                EXPECT_EQ(::lumo_notification_getProperty(o.get(), "colour"), colour);
            }
            return result != -2;
        });
        EXPECT_GT(tried, 0) << value;
        EXPECT_EQ(result, value[1] == '\0' ? 0 : -1) << value;
        ASSERT_NE(o->properties, nullptr);
        EXPECT_EQ(o->properties->next, before);
    }
    EXPECT_STREQ(::lumo_notification_getProperty(o.get(), "colour"), kIllegalValue);
}

TEST(Notification, PropertiesChainNewestFirstWithIllegalTextsStoredAsErrorTexts) {
    Owned o(::lumo_notification_create("t", nullptr, 0));
    EXPECT_EQ(::lumo_notification_setProperty(o.get(), "colour", "A"), 0);
    EXPECT_EQ(::lumo_notification_setProperty(o.get(), "size", "9"), 0);
    EXPECT_EQ(::lumo_notification_setProperty(o.get(), "colour", "B"), 0);
    EXPECT_STREQ(::lumo_notification_getProperty(o.get(), "colour"), "B");
    EXPECT_EQ(::lumo_notification_getProperty(o.get(), "Colour"), nullptr);

    int32_t count = 0;
    lumo_property *all = ::lumo_notification_getAllProperties(o.get(), &count);
    ASSERT_EQ(count, 3);
    std::string seen;
    for (int i = 0; i < count; ++i) seen += std::string(all[i].name) + "=" + all[i].value + ";";
    EXPECT_EQ(seen, "colour=B;size=9;colour=A;");
    // The array points at the notification's own texts.
    EXPECT_EQ(all[0].value, ::lumo_notification_getProperty(o.get(), "colour"));
    std::free(all);

    struct Case { const char *name, *value, *stored_name, *stored_value; int32_t result; };
    for (const Case &c : {Case{"a:b", "value", kIllegalName, "value", -1},
                          Case{"line", "one\ntwo", "line", kIllegalValue, -1},
                          Case{"cr", "one\rtwo", "cr", kIllegalValue, -1},
                          Case{"url", "http://host:80", "url", "http://host:80", 0},
                          Case{"", "", "", "", 0},
                          Case{"bad\r", "x\n", kIllegalName, kIllegalValue, -1}}) {
        EXPECT_EQ(::lumo_notification_setProperty(o.get(), c.name, c.value), c.result) << c.name;
        EXPECT_STREQ(::lumo_notification_getProperty(o.get(), c.stored_name), c.stored_value) << c.name;
    }
    EXPECT_EQ(::lumo_notification_getProperty(o.get(), "a:b"), nullptr);
}

std::string stamp_of(const lumo_notification *n) {
    auto shown = [](const char *text) { return std::string(text != nullptr ? text : "(null)"); };
    return shown(::lumo_notification_generatingComponent(n)) + "|" +
           shown(::lumo_notification_generatingNode(n)) + "|" +
           shown(::lumo_notification_generatingProcess(n)) + "|" + shown(::lumo_notification_id(n)) +
           "|" + std::to_string(n->creationTime) + "|" + std::to_string(n->subscriberId);
}

// A stamp or a stream binding that runs out of memory anywhere leaves every
// field as it was; one that succeeds replaces them all. The stream key is a
// copy of the id.
TEST(NotificationInternal, StampingAndBindingToAStreamAreAllOrNothing) {
    Owned o(::lumo_notification_create("t", "data", 4));
    ASSERT_TRUE(lumo_notification_stampForPublish(o.get(), "comp", "node", "self:host:42", "id7", 5));
    EXPECT_EQ(stamp_of(o.get()), "comp|node|self:host:42|id7|-1|5");
    auto *publisher = reinterpret_cast<lumo_publisher *>(0x10);
    int tried = test::for_each_allocation_failure([&] {
        const bool bound = lumo_notification_setStream(o.get(), publisher);
        if (!bound) {
            EXPECT_EQ(lumo_notification_streamKey(o.get()), nullptr);
            EXPECT_EQ(o->streamPublisher, nullptr);
        }
        return bound;
    });
    EXPECT_GT(tried, 0);
    EXPECT_STREQ(lumo_notification_streamKey(o.get()), "id7");
    EXPECT_NE(lumo_notification_streamKey(o.get()), ::lumo_notification_id(o.get()));
    EXPECT_EQ(o->streamPublisher, publisher);
    tried = test::for_each_allocation_failure([&] {
        const bool stamped = lumo_notification_stampForPublish(o.get(), "c2", "n2", "p2", "i2", 6);
        if (!stamped) {
            EXPECT_EQ(stamp_of(o.get()), "comp|node|self:host:42|id7|-1|5");
        }
        return stamped;
    });
    EXPECT_GT(tried, 0);
    EXPECT_EQ(stamp_of(o.get()), "c2|n2|p2|i2|-1|6");
    // Absent texts stay absent and need no memory.
    ASSERT_TRUE(lumo_notification_stampForPublish(o.get(), nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(stamp_of(o.get()), "(null)|(null)|(null)|(null)|-1|0");
}

// ---- text form ----

std::string text_of(const lumo_notification *n, int32_t mode) {
    char *text = ::lumo_notification_toString(n, mode);
    if (text == nullptr) return "<null>";
    std::string out = text;
    std::free(text);
    return out;
}

std::string header(const lumo_notification *n, const char *cls, const char *id = "(null)",
                   const char *type = "t", const char *creation = "0", const char *delivery = "0") {
    char row[64];
    std::snprintf(row, sizeof row, "NOTIFICATION %p ==>\n", static_cast<const void *>(n));
    return row + std::string("  Notification Class:   ") + cls + "\n" +
           "  Notification ID:      " + id + "\n" + "  Notification Type:    " + type + "\n" +
           "  Creation Time:        " + creation + "\n" + "  Delivery Time:        " + delivery + "\n";
}

constexpr char kSourceAddr[] = "  Source Addr:          (null)\n";

lumo_notification *with_body(int32_t cls, const std::string &body) {
    lumo_notification *n = ::lumo_notification_create("t", body.data(), static_cast<int32_t>(body.size()));
    lumo_notification_setClass(n, cls);
    return n;
}

TEST(NotificationText, FullBlockShowsEveryFieldWithPropertiesNewestFirst) {
    Owned o(::lumo_notification_create("t", "xy", 2));
    lumo_notification_stampForPublish(o.get(), "comp", "node", "node:12", "node:1201", 0);
    o->instanceName = lumo_strdup("inst");
    o->affectedNodes = lumo_strdup("an");
    o->creationTime = 4294967295999;  // seconds: the largest unsigned 32-bit value
    o->deliveryTime = -5999;           // truncated toward zero
    lumo_notification_setClass(o.get(), kIncomingStreamingNotification);
    ::lumo_notification_setLocalOnly(o.get());
    ::lumo_notification_setProperty(o.get(), "first", "1");
    ::lumo_notification_setProperty(o.get(), "second", "2=two");
    EXPECT_EQ(text_of(o.get(), 0),
              header(o.get(), "IncomingStreamingNotification", "node:1201", "t", "4294967295", "-5") +
                  "  Generating Component: comp\n"
                  "  Generating Node:      node\n"
                  "  Generating Process:   node:12\n"
                  "  Instance Name:        inst\n"
                  "  Affected Components:  (null)\n"
                  "  Affected Nodes:       an\n"
                  "  Local Only Flag:      true\n"
                  "  Property:             second=2=two\n"
                  "  Property:             first=1\n" +
                  kSourceAddr + "  Body Length:          2\n");
}

TEST(NotificationText, EachClassShowsItsRowsAndNoBodyInAnyMode) {
    Owned empty(::lumo_notification_create("t", nullptr, 0));
    const std::string expected = text_of(empty.get(), 0);
    EXPECT_EQ(expected.substr(expected.size() - 26), "  Body Length:          0\n");
    for (int32_t mode : {1, 2, 3, 4, 9}) EXPECT_EQ(text_of(empty.get(), mode), expected) << mode;
    Owned get(with_body(kStateGetNotification, "abc"));
    EXPECT_EQ(text_of(get.get(), 1), header(get.get(), "StateGetNotification") + kSourceAddr);
    Owned set(with_body(kStateSetNotification, "abc"));
    const std::string set_rows =
        header(set.get(), "StateSetNotification") + kSourceAddr + "  Body Length:          3\n";
    EXPECT_EQ(text_of(set.get(), 2), set_rows + "  Body:\nabc\n");
    EXPECT_EQ(text_of(set.get(), 0), set_rows);
    for (auto [cls, name] : {std::pair<int32_t, const char *>{kLeaveGroupNotification, "LeaveGroupNotification"},
                             {1000, "UnknownNotificationClass"}}) {
        Owned other(with_body(cls, "abc"));
        EXPECT_EQ(text_of(other.get(), 1), header(other.get(), name));
    }
}

// The body section of a class-0 notification with this body in this mode.
std::string body_section(const std::string &body, int32_t mode) {
    Owned o(with_body(kMessageNotification, body));
    const std::string text = text_of(o.get(), mode);
    const std::string marker = "  Body Length:          " + std::to_string(body.size()) + "\n";
    const std::size_t at = text.find(marker);
    return at == std::string::npos ? "<no body length row>" : text.substr(at + marker.size());
}

TEST(NotificationText, EachModeRendersTheBodyItsOwnWay) {
    // Hex in lines of 32 bytes grouped by four.
    EXPECT_EQ(body_section("\x01\x23\xAB\xFF\x10", 1), "  Body:\n    0123abff 10\n\n");
    std::string thirty_two;
    for (int i = 0; i < 32; ++i) thirty_two += static_cast<char>(i);
    EXPECT_EQ(body_section(thirty_two + "\xEE", 1),
              "  Body:\n    00010203 04050607 08090a0b 0c0d0e0f 10111213 14151617 18191a1b 1c1d1e1f \n"
              "    ee\n\n");
    // The body made by create has no terminating NUL of its own.
    EXPECT_EQ(body_section("abc", 2), "  Body:\nabc\n");
    EXPECT_EQ(body_section(std::string("ab\0cd", 5), 2), "  Body:\nab\n");

    lumo_bb *block = ::lumo_bb_create();
    ::lumo_bb_seg_addelement(::lumo_bb_addsegment(block, "a"), "k", "v");
    uint32_t length = 0;
    void *encoded = ::lumo_bb_block2body(block, &length);
    ::lumo_bb_destroy(block);
    const std::string body(static_cast<char *>(encoded), length);
    std::free(encoded);
    EXPECT_EQ(body_section(body, 3), "  Body:\nSeg:a\n  k=v\n\n");
    EXPECT_EQ(body_section(body, 4), "  Body:\nSeg:a\n  k=v\n\n");
    EXPECT_EQ(body_section("not a block", 3), "  Body:\n<lumo_bodyblock-format-error>\n");
    EXPECT_EQ(body_section("not a block", 4), "  Body:\n    6e6f7420 6120626c 6f636b\n\n");
    // A block without segments renders as no text.
    EXPECT_EQ(body_section(body.substr(0, 12), 3), "  Body:\n(null)\n");
    for (int32_t mode : {5, -1}) EXPECT_EQ(body_section(body, mode), "  Body:\n(null)\n");
}

TEST(NotificationText, OutOfMemoryFailsOrLosesOnlyTheBody) {
    Owned o(with_body(kMessageNotification, "abc"));
    ::lumo_notification_setProperty(o.get(), "p", "q");
    const std::string full = text_of(o.get(), 1);
    const std::string rows = full.substr(0, full.find("  Body:\n"));
    bool saw_null_body = false;
    int tried = test::for_each_allocation_failure([&] {
        const std::string got = text_of(o.get(), 1);
        // Only the body, rendered into its own buffer, may fall back to "(null)".
        if (got != full && got != "<null>") {
            EXPECT_EQ(got, rows + "  Body:\n(null)\n");
            saw_null_body = true;
        }
        return got == full;
    });
    EXPECT_GT(tried, 0);
    EXPECT_TRUE(saw_null_body);
}

TEST(NotificationText, PrintWritesTheBodilessTextToStandardErrorOnly) {
    Owned o(with_body(kMessageNotification, "abc"));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ::lumo_notification_print(o.get());
    ::lumo_notification_print(nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(err, text_of(o.get(), 0) + "NOTIFICATION 0x0 (NULL)\n");
    EXPECT_EQ(err.find("Body:"), std::string::npos);
}

}  // namespace
}  // namespace vavevar
