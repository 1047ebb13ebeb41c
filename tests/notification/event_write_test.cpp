// Outbound event messages, byte for byte as the daemon receives them.
#include "notification/event_write.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "port/memory.h"
#include "support/alloc_fault.h"
#include "vavevar.h"

namespace vavevar {
namespace {

class EventWrite : public ::testing::Test {
protected:
    void TearDown() override { lumo_notification_destroy(n); }

    // Writes `n` into a fresh buffer and returns the message.
    std::string written(const char *instance = "inst-1") {
        ByteBuffer out;
        EXPECT_TRUE(lumo_event_write(n, instance, instance ? std::strlen(instance) : 0, out));
        return std::string(out.data(), out.size());
    }

    lumo_notification *n = nullptr;
};

TEST_F(EventWrite, APublishedMessageCarriesEveryFieldInWireOrder) {
    n = ::lumo_notification_create("plant.alarm", "12\0x5", 5);
    ::lumo_notification_setProperty(n, "a", "first");
    ::lumo_notification_setProperty(n, "b", "second: with colon");
    ::lumo_notification_setLocalOnly(n);
    lumo_notification_stampForPublish(n, "comp", "host", "host:42:host:42", "host:4211", 3);
    n->instanceName = lumo_strdup("from-the-wire");  // the runtime's name is sent instead
    n->streamKey = lumo_strdup("key-9");
    lumo_notification_setClass(n, 4);
    EXPECT_EQ(written(),
              std::string("POST /event HTTP/1.1\r\n"
                          "className: IncomingStreamingNotification\r\n"
                          "SubscriberID: 3\r\n"
                          "eventType: plant.alarm\r\n"
                          "eventId: host:4211\r\n"
                          "affectedComponents: \r\n"
                          "affectedNodes: \r\n"
                          "generatingComponent: comp\r\n"
                          "generatingProcess: host:42:host:42\r\n"
                          "generatingNode: host\r\n"
                          "instanceName: inst-1\r\n"
                          "LocalOnly: true\r\n"
                          "numberOfProperties: 2\r\n"
                          "b: second: with colon\r\n"
                          "a: first\r\n"
                          "streamKey: key-9\r\n"
                          "Content-Length: 5\r\n"
                          "AddrList-Length: 0\r\n"
                          "\r\n") +
                  std::string("12\0x5", 5));
    // The other full-form classes carry no stream key; unset texts go empty.
    for (std::int32_t cls : {0, 3}) {
        lumo_notification_setClass(n, cls);
        const std::string outgoing = written(nullptr);
        EXPECT_NE(outgoing.find("className: " + std::string(wire::class_name(cls)) + "\r\n"), std::string::npos);
        EXPECT_NE(outgoing.find("instanceName: \r\nLocalOnly: true\r\n"), std::string::npos);
        EXPECT_NE(outgoing.find("a: first\r\nContent-Length: 5\r\n"), std::string::npos) << cls;
    }
}

TEST_F(EventWrite, ShortFormClassesCarryOnlyTheCommonHeaders) {
    for (std::int32_t cls : {1, 2, 5, 6, 7, 8, 9, -3}) {
        lumo_notification_destroy(n);
        n = ::lumo_notification_create("state", "xy", 2);
        ::lumo_notification_setProperty(n, "p", "v");
        lumo_notification_setClass(n, cls);
        std::string name(wire::class_name(cls));
        EXPECT_EQ(written(),
                  "POST /event HTTP/1.1\r\n"
                  "className: " + name + "\r\n"
                  "SubscriberID: 0\r\n"
                  "eventType: state\r\n"
                  "eventId: \r\n"
                  "Content-Length: 2\r\n"
                  "AddrList-Length: 0\r\n"
                  "\r\n"
                  "xy")
            << "class " << cls;
    }
}

TEST_F(EventWrite, AMessageIsAppendedWholeOrWhenMemoryRunsOutNotAtAll) {
    n = ::lumo_notification_create("t", "body", 4);
    ::lumo_notification_setProperty(n, "p", std::string(600, 'v').c_str());
    const std::string one = written();
    ByteBuffer out;
    ASSERT_TRUE(lumo_event_write(n, "inst-1", 6, out));
    int tried = test::for_each_allocation_failure([&] {
        bool result = lumo_event_write(n, "inst-1", 6, out);
        EXPECT_EQ(std::string(out.data(), out.size()), result ? one + one : one);
        return result;
    });
    EXPECT_GE(tried, 1);
}

}  // namespace
}  // namespace vavevar
