// Notifications through the exported interface, plus the internal operations
// that publishing, delivery and streams rely on.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "notification/notification.h"
#include "owned_notification.h"
#include "support/alloc_fault.h"
#include "vavevar.h"

namespace vavevar {
namespace {

using test::Owned;

constexpr char kIllegalName[] =
    "ILLEGAL PROPERTY NAME [Property name must not contain ':', '\\r', or '\\n']";
constexpr char kIllegalValue[] =
    "ILLEGAL PROPERTY VALUE [Property value must not contain '\\r' or '\\n']";

TEST(Notification, FreshNotificationHoldsItsTypeAndABodyCopy) {
    const char body[3] = {'a', '\0', 'c'};
    char type[] = "alarm";
    Owned o(::lumo_notification_create(type, body, 3));
    ASSERT_NE(o.n, nullptr);
    type[0] = 'X';
    EXPECT_EQ(::lumo_notification_getClass(o.n), 0);
    EXPECT_STREQ(::lumo_notification_type(o.n), "alarm");
    int32_t length = -7;
    const char *stored = ::lumo_notification_body(o.n, &length);
    EXPECT_EQ(length, 3);
    ASSERT_NE(stored, nullptr);
    EXPECT_NE(stored, body);
    EXPECT_EQ(std::memcmp(stored, body, 3), 0);
    EXPECT_EQ(::lumo_notification_localOnly(o.n), 0);
    int32_t count = -1;
    EXPECT_EQ(::lumo_notification_getAllProperties(o.n, &count), nullptr);
    EXPECT_EQ(count, 0);
    for (const char *text : {::lumo_notification_id(o.n), ::lumo_notification_stamp(o.n),
                             ::lumo_notification_generatingComponent(o.n),
                             ::lumo_notification_generatingNode(o.n),
                             ::lumo_notification_generatingProcess(o.n),
                             ::lumo_notification_instanceName(o.n),
                             ::lumo_notification_affectedComponents(o.n),
                             ::lumo_notification_affectedNodes(o.n)})
        EXPECT_EQ(text, nullptr);
    EXPECT_EQ(::lumo_notification_creationTime(o.n), 0u);
    EXPECT_EQ(::lumo_notification_deliveryTime(o.n), 0);
}

TEST(Notification, BodyIsExactlyTheGivenBytesWithoutATerminator) {
    // Under AddressSanitizer a read one byte past the body is caught, so an
    // allocation of exactly the given length is all that is needed here.
    Owned o(::lumo_notification_create("t", "xyz-and-more", 3));
    int32_t length = 0;
    const char *body = ::lumo_notification_body(o.n, &length);
    ASSERT_EQ(length, 3);
    EXPECT_EQ(std::string(body, 3), "xyz");
}

TEST(Notification, ZeroOrNegativeLengthMeansNoBodyButKeepsTheLength) {
    for (int32_t given : {0, -5}) {
        Owned o(::lumo_notification_create("t", "ignored", given));
        ASSERT_NE(o.n, nullptr);
        int32_t length = 99;
        EXPECT_EQ(::lumo_notification_body(o.n, &length), nullptr);
        EXPECT_EQ(length, given);
        EXPECT_TRUE(lumo_notification_hasNoBody(o.n));
    }
    Owned none(::lumo_notification_create("t", nullptr, 0));
    EXPECT_NE(none.n, nullptr);
}

TEST(Notification, CreationRefusesMissingTypeOrBody) {
    EXPECT_EQ(::lumo_notification_create(nullptr, "b", 1), nullptr);
    EXPECT_EQ(::lumo_notification_create("t", nullptr, 4), nullptr);
}

TEST(Notification, CreationFailsCleanlyAtEveryAllocation) {
    int tried = test::for_each_allocation_failure([] {
        lumo_notification *n = ::lumo_notification_create("type", "body", 4);
        bool ok = n != nullptr;
        lumo_notification_destroy(n);
        return ok;
    });
    EXPECT_EQ(tried, 3);  // record, type, body
}

TEST(Notification, PropertiesChainNewestFirstAndKeepRepeats) {
    Owned o(::lumo_notification_create("t", nullptr, 0));
    EXPECT_EQ(::lumo_notification_setProperty(o.n, "colour", "A"), 0);
    EXPECT_EQ(::lumo_notification_setProperty(o.n, "size", "9"), 0);
    EXPECT_EQ(::lumo_notification_setProperty(o.n, "colour", "B"), 0);
    EXPECT_STREQ(::lumo_notification_getProperty(o.n, "colour"), "B");
    EXPECT_EQ(::lumo_notification_getProperty(o.n, "Colour"), nullptr);

    int32_t count = 0;
    lumo_property *all = ::lumo_notification_getAllProperties(o.n, &count);
    ASSERT_EQ(count, 3);
    ASSERT_NE(all, nullptr);
    EXPECT_STREQ(all[0].name, "colour");
    EXPECT_STREQ(all[0].value, "B");
    EXPECT_STREQ(all[1].name, "size");
    EXPECT_STREQ(all[2].name, "colour");
    EXPECT_STREQ(all[2].value, "A");
    // The array points at the notification's own texts.
    EXPECT_EQ(all[0].value, ::lumo_notification_getProperty(o.n, "colour"));
    std::free(all);
}

TEST(Notification, IllegalNamesAndValuesAreStoredAsErrorTexts) {
    Owned o(::lumo_notification_create("t", nullptr, 0));
    EXPECT_EQ(::lumo_notification_setProperty(o.n, "a:b", "value"), -1);
    EXPECT_EQ(::lumo_notification_getProperty(o.n, "a:b"), nullptr);
    EXPECT_STREQ(::lumo_notification_getProperty(o.n, kIllegalName), "value");

    EXPECT_EQ(::lumo_notification_setProperty(o.n, "line", "one\ntwo"), -1);
    EXPECT_STREQ(::lumo_notification_getProperty(o.n, "line"), kIllegalValue);
    EXPECT_EQ(::lumo_notification_setProperty(o.n, "cr", "one\rtwo"), -1);
    EXPECT_STREQ(::lumo_notification_getProperty(o.n, "cr"), kIllegalValue);
    EXPECT_EQ(::lumo_notification_setProperty(o.n, "bad\r", "x\n"), -1);
    EXPECT_STREQ(::lumo_notification_getProperty(o.n, kIllegalName), kIllegalValue);

    EXPECT_EQ(::lumo_notification_setProperty(o.n, "url", "http://host:80"), 0);
    EXPECT_STREQ(::lumo_notification_getProperty(o.n, "url"), "http://host:80");
    EXPECT_EQ(::lumo_notification_setProperty(o.n, "", ""), 0);
    EXPECT_STREQ(::lumo_notification_getProperty(o.n, ""), "");
}

TEST(Notification, ErrorTextsAreByteExact) {
    // A literal backslash followed by r or n, never a control character.
    EXPECT_EQ(std::strlen(kIllegalPropertyName), 73u);
    EXPECT_STREQ(kIllegalPropertyName, kIllegalName);
    EXPECT_STREQ(kIllegalPropertyValue, kIllegalValue);
    EXPECT_EQ(std::strpbrk(kIllegalPropertyName, "\r\n"), nullptr);
}

TEST(Notification, SetPropertyRefusesNullsAndOutOfMemoryWithoutChange) {
    Owned o(::lumo_notification_create("t", nullptr, 0));
    EXPECT_EQ(::lumo_notification_setProperty(nullptr, "a", "b"), -2);
    EXPECT_EQ(::lumo_notification_setProperty(o.n, nullptr, "b"), -2);
    EXPECT_EQ(::lumo_notification_setProperty(o.n, "a", nullptr), -2);
    int tried = test::for_each_allocation_failure([&] {
        int32_t result = ::lumo_notification_setProperty(o.n, "k", "v");
        if (result != 0) {
            EXPECT_EQ(result, -2);
            EXPECT_EQ(o.n->properties, nullptr);
        }
        return result == 0;
    });
    EXPECT_EQ(tried, 3);  // node, name, value
}

TEST(Notification, TimesTruncateTowardZero) {
    Owned o(::lumo_notification_create("t", nullptr, 0));
    o.n->creationTime = 1500;
    o.n->deliveryTime = 2999;
    EXPECT_EQ(::lumo_notification_creationTime(o.n), 1u);
    EXPECT_EQ(::lumo_notification_deliveryTime(o.n), 2);
    o.n->creationTime = -1;
    o.n->deliveryTime = -1999;
    EXPECT_EQ(::lumo_notification_creationTime(o.n), 0u);
    EXPECT_EQ(::lumo_notification_deliveryTime(o.n), -1);
    o.n->creationTime = INT64_C(1767225600123);  // a real epoch time in ms
    EXPECT_EQ(::lumo_notification_creationTime(o.n), 1767225600u);
}

TEST(Notification, LocalOnlyCanOnlyBeSet) {
    Owned o(::lumo_notification_create("t", nullptr, 0));
    ::lumo_notification_setLocalOnly(o.n);
    ::lumo_notification_setLocalOnly(o.n);
    EXPECT_EQ(::lumo_notification_localOnly(o.n), 1);
    ::lumo_notification_setLocalOnly(nullptr);
}

TEST(Notification, EveryAccessorAcceptsNull) {
    EXPECT_EQ(::lumo_notification_getClass(nullptr), 8);
    EXPECT_EQ(::lumo_notification_localOnly(nullptr), 0);
    EXPECT_EQ(::lumo_notification_creationTime(nullptr), 0u);
    EXPECT_EQ(::lumo_notification_deliveryTime(nullptr), 0);
    EXPECT_EQ(::lumo_notification_type(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_id(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_stamp(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_generatingComponent(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_generatingNode(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_generatingProcess(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_instanceName(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_affectedComponents(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_affectedNodes(nullptr), nullptr);
    EXPECT_EQ(::lumo_notification_getProperty(nullptr, "a"), nullptr);
    int32_t length = 42;
    EXPECT_EQ(::lumo_notification_body(nullptr, &length), nullptr);
    EXPECT_EQ(length, 42);
    int32_t count = 42;
    EXPECT_EQ(::lumo_notification_getAllProperties(nullptr, &count), nullptr);
    EXPECT_EQ(count, 0);
}

TEST(Notification, ClassNamesClampOutOfRangeValues) {
    EXPECT_STREQ(lumo_class_name(0), "MessageNotification");
    EXPECT_STREQ(lumo_class_name(4), "IncomingStreamingNotification");
    EXPECT_STREQ(lumo_class_name(7), "LeaveGroupNotification");
    EXPECT_STREQ(lumo_class_name(9), "UnknownNotificationClass");
    EXPECT_STREQ(lumo_class_name(-1), "UnknownNotificationClass");
    Owned o(::lumo_notification_create("t", nullptr, 0));
    lumo_notification_setClass(o.n, 7);
    EXPECT_EQ(::lumo_notification_getClass(o.n), 7);
}

TEST(NotificationInternal, StampingSetsGeneratingFieldsOnceAndAllOrNothing) {
    Owned o(::lumo_notification_create("t", nullptr, 0));
    ASSERT_EQ(lumo_notification_stampForPublish(o.n, "comp", "node", "self:host:42", "id7", 5), 1);
    EXPECT_STREQ(::lumo_notification_generatingComponent(o.n), "comp");
    EXPECT_STREQ(::lumo_notification_generatingNode(o.n), "node");
    EXPECT_STREQ(::lumo_notification_generatingProcess(o.n), "self:host:42");
    EXPECT_STREQ(::lumo_notification_id(o.n), "id7");
    EXPECT_EQ(o.n->creationTime, -1);
    EXPECT_EQ(o.n->subscriberId, 5);

    test::AllocFault fault(2);
    EXPECT_EQ(lumo_notification_stampForPublish(o.n, "c2", "n2", "p2", "i2", 6), 0);
    EXPECT_STREQ(::lumo_notification_id(o.n), "id7");
    EXPECT_EQ(o.n->subscriberId, 5);
}

TEST(NotificationInternal, StreamBindingAndBodyHandOver) {
    Owned o(::lumo_notification_create("t", "data", 4));
    lumo_notification_stampForPublish(o.n, "c", "n", "p", "key-1", 0);
    auto *publisher = reinterpret_cast<lumo_publisher *>(0x10);
    ASSERT_EQ(lumo_notification_setStream(o.n, publisher), 1);
    EXPECT_STREQ(lumo_notification_streamKey(o.n), "key-1");
    EXPECT_NE(lumo_notification_streamKey(o.n), ::lumo_notification_id(o.n));
    EXPECT_EQ(o.n->streamPublisher, publisher);

    EXPECT_FALSE(lumo_notification_hasNoBody(o.n));
    char *body = o.n->body;
    lumo_notification_detachBody(o.n);
    EXPECT_TRUE(lumo_notification_hasNoBody(o.n));
    int32_t length = -1;
    EXPECT_EQ(::lumo_notification_body(o.n, &length), nullptr);
    EXPECT_EQ(length, 0);
    lumo_free(body);  // the bytes now belong to us

    EXPECT_FALSE(lumo_notification_hasNoBody(nullptr));
    lumo_notification_destroy(nullptr);
}

}  // namespace
}  // namespace vavevar
