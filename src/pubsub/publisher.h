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

// The constructor behind every publisher. Null when the library is not
// started, `component` is null or memory runs out. With `waitForLink`, waits
// up to `waitMs` for the daemon link first (and goes on without it).
lumo_publisher *lumo_publisher_new(const char *component, std::int32_t subscriberId,
                                   std::int32_t waitForLink, std::int32_t waitMs) noexcept;

// Stamps `n` once and queues it for the daemon (a class-3 head is bound to
// the publisher as an outgoing stream instead). Takes `n` over unless the
// library is not started or an argument is null.
void lumo_publisher_publish(lumo_publisher *publisher, lumo_notification *n) noexcept;

// Leaves the registry (while the library runs) and frees the publisher.
void lumo_publisher_close(lumo_publisher *publisher) noexcept;

}  // namespace vavevar
