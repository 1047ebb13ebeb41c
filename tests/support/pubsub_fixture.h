// A started library on a fake daemon that accepts every subscription, with
// helpers to send events to a subscriber.
#pragma once

#include <cstdlib>
#include <string>

#include "support/runtime_fixture.h"

namespace vavevar::test {

class PubSubTest : public RuntimeTest {
protected:
    void SetUp() override {
        daemon.answer_subscribes("success");
        start_connected();
    }

    // Sends an event for `id` of the given type (and class name).
    void send_event(std::int32_t id, const std::string &type,
                    const std::string &class_name = "MessageNotification") {
        InboundEvent event;
        event.subscriber_ids = std::to_string(id);
        event.event_type = type;
        event.class_name = class_name;
        ASSERT_TRUE(daemon.send(event.bytes()));
    }

    lumo_subscriber *subscribe(const char *subscription = nullptr, const char *interest = nullptr) {
        char *status = nullptr;
        lumo_subscriber *s = ::lumo_subscriber_create(subscription, "comp", interest, nullptr, &status);
        std::free(status);
        return s;
    }

    // Receives with a generous limit and returns the type ("" for none);
    // the notification is relinquished.
    static std::string next_type(lumo_subscriber *s, std::int32_t timeoutMs = 5000) {
        lumo_notification *n = ::lumo_subscriber_receive(s, 1, timeoutMs);
        if (n == nullptr) return "";
        std::string type = ::lumo_notification_type(n) ? ::lumo_notification_type(n) : "(null)";
        ::lumo_subscriber_relinquish(s, n);
        return type;
    }
};

}  // namespace vavevar::test
