#include "pubsub/one_time_publish.h"

#include "pubsub/publisher.h"
#include "pubsub/registry.h"
#include "runtime/lifecycle.h"
#include "runtime/link.h"

namespace vavevar {

std::int32_t lumo_one_time_publish(const char *component, lumo_notification *n) noexcept {
    // Refused before anything starts: there would be nothing to publish.
    if (component == nullptr || n == nullptr) return -1;
    // A start of its own, counted like any other, so that the stop below
    // undoes exactly this one: a library that was running keeps running.
    std::int32_t started = lumo_pubsub_start(nullptr, 0);
    if (started != kInitOk && started != kInitAlready) return -1;

    std::int32_t result = -1;
    lumo_publisher *publisher = lumo_publisher_new(component, PublisherOptions{.waitForLink = true});
    if (publisher != nullptr) {
        if (lumo_link_is_up()) {
            // Handed over, which is what 0 says: in a library that was
            // already running with a full send queue it may still be
            // dropped (and counted) after the publisher's wait.
            vavevar::lumo_publisher_publish(publisher, n);
            result = 0;
        }
        vavevar::lumo_publisher_close(publisher);
    }
    // Draining: when this was the only start, the notification is written
    // before the library stops.
    lumo_runtime_stop(1);
    return result;
}

}  // namespace vavevar
