// Publishers: stamp notifications with a process-unique identifier and the
// generating fields, and hand them to the sender.
#pragma once

#include <cstdint>

#include "port/lock.h"
#include "vavevar.h"

struct lumo_publisher {
    std::int32_t id;  // slot index in the registry
    char *component;
    char *idPrefix;   // self id followed by the slot index
    std::int32_t sequence LUMO_GUARDED_BY(lock);  // next notification number, from 1
    std::int32_t subscriberId;  // stamped into every notification; 0 for the application's
    vavevar::Lock *lock;
};

namespace vavevar {

inline constexpr std::int32_t kPublisherLinkWaitMs = 5000;

// How a publisher is made: for the application, which may have to wait for
// the daemon link first, or as a subscriber's own, stamping its identifier.
struct PublisherOptions {
    std::int32_t subscriberId = 0;  // stamped on what it publishes; 0 for the application's
    bool waitForLink = false;       // wait up to linkWaitMs for the link (and go on without it)
    std::int32_t linkWaitMs = kPublisherLinkWaitMs;
};

// The constructor behind every publisher. Null when the library is not
// started or memory runs out. REQUIRES: component is not null.
lumo_publisher *lumo_publisher_new(const char *component, const PublisherOptions &options) noexcept;

// Stamps `n` once and queues it for the daemon (a class-3 head is bound to
// the publisher as an outgoing stream instead). Takes `n` over unless the
// library is not started. When the send queue is full this waits for room as
// the send budget allows, holding no lock, and then drops `n` (see
// lumo_sender_enqueue_event). REQUIRES: publisher and n are not null.
void lumo_publisher_publish(lumo_publisher *publisher, lumo_notification *n) noexcept;

// Leaves the registry (while the library runs) and frees the publisher.
// Null is ignored here rather than at the C boundary: a subscriber whose own
// publisher could not be made closes the null it holds.
void lumo_publisher_close(lumo_publisher *publisher) noexcept;

}  // namespace vavevar
