// The text form of notifications: rows per class, body sections per mode,
// and printing to standard error.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "notification/notification.h"
#include "owned_notification.h"
#include "notification/notification_text.h"
#include "port/memory.h"
#include "support/alloc_fault.h"
#include "vavevar.h"

namespace vavevar {
namespace {

using test::Owned;

std::string text_of(const lumo_notification *n, int32_t mode) {
    char *text = ::lumo_notification_toString(n, mode);
    if (text == nullptr) return "<null>";
    std::string out = text;
    std::free(text);
    return out;
}

std::string first_row(const lumo_notification *n) {
    char row[64];
    std::snprintf(row, sizeof row, "NOTIFICATION %p ==>\n", static_cast<const void *>(n));
    return row;
}

std::string header(const lumo_notification *n, const char *cls, const char *id, const char *type,
                   const char *creation, const char *delivery) {
    return first_row(n) + "  Notification Class:   " + cls + "\n" +
           "  Notification ID:      " + id + "\n" + "  Notification Type:    " + type + "\n" +
           "  Creation Time:        " + creation + "\n" + "  Delivery Time:        " + delivery + "\n";
}

const char kUnsetBlock[] =
    "  Generating Component: (null)\n"
    "  Generating Node:      (null)\n"
    "  Generating Process:   (null)\n"
    "  Instance Name:        (null)\n"
    "  Affected Components:  (null)\n"
    "  Affected Nodes:       (null)\n"
    "  Local Only Flag:      false\n";

Owned with_body(int32_t cls, const std::string &body) {
    Owned o(::lumo_notification_create("t", body.data(), static_cast<int32_t>(body.size())));
    lumo_notification_setClass(o.n, cls);
    return o;
}

TEST(NotificationText, NullNotification) {
    EXPECT_EQ(text_of(nullptr, 0), "NOTIFICATION 0x0 (NULL)\n");
    EXPECT_EQ(text_of(nullptr, 3), "NOTIFICATION 0x0 (NULL)\n");
}

TEST(NotificationText, FreshMessageShowsEveryRowButNoBodyOfLengthZero) {
    Owned o(::lumo_notification_create("alarm", nullptr, 0));
    const std::string expected = header(o.n, "MessageNotification", "(null)", "alarm", "0", "0") +
                                 kUnsetBlock + "  Source Addr:          (null)\n" +
                                 "  Body Length:          0\n";
    for (int32_t mode : {0, 1, 2, 3, 4, 9}) EXPECT_EQ(text_of(o.n, mode), expected) << mode;
}

TEST(NotificationText, FullBlockShowsFieldsFlagAndPropertiesNewestFirst) {
    Owned o(::lumo_notification_create("t", "xy", 2));
    lumo_notification_stampForPublish(o.n, "comp", "node", "node:12", "node:1201", 0);
    o.n->instanceName = lumo_strdup("inst");
    o.n->affectedComponents = lumo_strdup("ac");
    o.n->affectedNodes = lumo_strdup("an");
    o.n->creationTime = 4294967295999;  // seconds: the largest unsigned 32-bit value
    o.n->deliveryTime = -5999;           // truncated toward zero
    lumo_notification_setClass(o.n, kIncomingStreamingNotification);
    ::lumo_notification_setLocalOnly(o.n);
    ::lumo_notification_setProperty(o.n, "first", "1");
    ::lumo_notification_setProperty(o.n, "second", "2=two");
    EXPECT_EQ(text_of(o.n, 0),
              header(o.n, "IncomingStreamingNotification", "node:1201", "t", "4294967295", "-5") +
                  "  Generating Component: comp\n"
                  "  Generating Node:      node\n"
                  "  Generating Process:   node:12\n"
                  "  Instance Name:        inst\n"
                  "  Affected Components:  ac\n"
                  "  Affected Nodes:       an\n"
                  "  Local Only Flag:      true\n"
                  "  Property:             second=2=two\n"
                  "  Property:             first=1\n"
                  "  Source Addr:          (null)\n"
                  "  Body Length:          2\n");
}

TEST(NotificationText, EachClassShowsItsRows) {
    Owned get = with_body(kStateGetNotification, "abc");
    EXPECT_EQ(text_of(get.n, 1), header(get.n, "StateGetNotification", "(null)", "t", "0", "0") +
                                     "  Source Addr:          (null)\n");
    Owned set = with_body(kStateSetNotification, "abc");
    EXPECT_EQ(text_of(set.n, 2), header(set.n, "StateSetNotification", "(null)", "t", "0", "0") +
                                     "  Source Addr:          (null)\n"
                                     "  Body Length:          3\n"
                                     "  Body:\nabc\n");
    EXPECT_EQ(text_of(set.n, 0), header(set.n, "StateSetNotification", "(null)", "t", "0", "0") +
                                     "  Source Addr:          (null)\n"
                                     "  Body Length:          3\n");
    Owned leave = with_body(kLeaveGroupNotification, "abc");
    EXPECT_EQ(text_of(leave.n, 1), header(leave.n, "LeaveGroupNotification", "(null)", "t", "0", "0"));
    for (int32_t cls : {9, 1000, -1}) {
        Owned odd = with_body(cls, "abc");
        EXPECT_EQ(text_of(odd.n, 1), header(odd.n, "UnknownNotificationClass", "(null)", "t", "0", "0"))
            << cls;
    }
}

// The body section of a class-0 notification with this body in this mode.
std::string body_section(const std::string &body, int32_t mode) {
    Owned o = with_body(kMessageNotification, body);
    const std::string text = text_of(o.n, mode);
    const std::string marker = "  Body Length:          " + std::to_string(body.size()) + "\n";
    const std::size_t at = text.find(marker);
    return at == std::string::npos ? "<no body length row>" : text.substr(at + marker.size());
}

TEST(NotificationText, HexDumpLinesOf32BytesGroupedByFour) {
    EXPECT_EQ(body_section("\x01\x23\xAB\xFF\x10", 1), "  Body:\n    0123abff 10\n\n");
    std::string thirty_two;
    for (int i = 0; i < 32; ++i) thirty_two += static_cast<char>(i);
    const std::string full_line =
        "    00010203 04050607 08090a0b 0c0d0e0f 10111213 14151617 18191a1b 1c1d1e1f \n";
    ASSERT_EQ(full_line.size(), 77u);
    EXPECT_EQ(body_section(thirty_two, 1), "  Body:\n" + full_line + "\n");
    EXPECT_EQ(body_section(thirty_two + "\xEE", 1), "  Body:\n" + full_line + "    ee\n\n");
    EXPECT_EQ(body_section(std::string(4, 'A'), 1), "  Body:\n    41414141 \n\n");
}

TEST(NotificationText, BodyAsTextStopsAtNulOrLength) {
    // The body made by create has no terminating NUL of its own.
    EXPECT_EQ(body_section("abc", 2), "  Body:\nabc\n");
    EXPECT_EQ(body_section(std::string("ab\0cd", 5), 2), "  Body:\nab\n");
}

TEST(NotificationText, BodyAsBodyBlock) {
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
    for (int32_t mode : {5, -1, 100}) EXPECT_EQ(body_section(body, mode), "  Body:\n(null)\n");
}

TEST(NotificationText, RunningOutOfMemory) {
    Owned o = with_body(kMessageNotification, "abc");
    ::lumo_notification_setProperty(o.n, "p", "q");
    const std::string full = text_of(o.n, 1);
    bool saw_null_body = false;
    int tried = test::for_each_allocation_failure([&] {
        char *text = vavevar::lumo_notification_toString(o.n, 1);
        if (text == nullptr) return false;
        const std::string got = text;
        std::free(text);
        // Only the body, rendered into its own buffer, may fall back to "(null)".
        if (got != full) {
            EXPECT_EQ(got.substr(0, got.find("  Body:\n")), full.substr(0, full.find("  Body:\n")));
            EXPECT_EQ(got.substr(got.find("  Body:\n")), "  Body:\n(null)\n");
            saw_null_body = true;
        }
        return got == full;
    });
    EXPECT_GT(tried, 0);
    EXPECT_TRUE(saw_null_body);
}

TEST(NotificationText, PrintWritesTheBodilessTextToStandardErrorOnly) {
    Owned o = with_body(kMessageNotification, "abc");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ::lumo_notification_print(o.n);
    ::lumo_notification_print(nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, text_of(o.n, 0) + "NOTIFICATION 0x0 (NULL)\n");
    EXPECT_EQ(err.find("Body:"), std::string::npos);
}

}  // namespace
}  // namespace vavevar
