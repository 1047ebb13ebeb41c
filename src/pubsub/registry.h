// The client registry: the open publishers and subscribers of the process,
// in slot tables inside the runtime state and guarded by its lock. A
// subscriber's identifier, by which the daemon addresses it, is its 1-based
// slot number; slots are never reused while the runtime lives.
//
// Lock order: the runtime's lock is taken first; what the registry calls
// while holding it takes only a subscriber's, a queue's or the sender's locks.
#pragma once

#include <cstdint>

#include "vavevar.h"

struct lumo_runtime;

namespace vavevar {

// Returns the new subscriber's identifier (1, 2, 3 ...), or -1 without a
// started library, for null, or when the table cannot grow.
std::int32_t lumo_registry_add_subscriber(lumo_subscriber *subscriber) noexcept;
// Empties the slot of `id` if it still holds this subscriber.
void lumo_registry_remove_subscriber(lumo_subscriber *subscriber, std::int32_t id) noexcept;
// Whether the slot of `id` holds this subscriber.
bool lumo_registry_has_subscriber(lumo_subscriber *subscriber, std::int32_t id) noexcept;

// Returns the publisher's slot index (0, 1, 2 ...); -1 when the table cannot
// grow; 0 without a started library or for null.
std::int32_t lumo_registry_add_publisher(lumo_publisher *publisher) noexcept;
void lumo_registry_remove_publisher(lumo_publisher *publisher, std::int32_t index) noexcept;

// Makes the registry the runtime's inbound sink: the receiver's events go to
// the subscriber of their identifier (what nobody takes is destroyed), status
// answers to the subscriber that asked, the news of a lost link ends the
// group memberships and a re-established one sends the subscriptions again;
// a stop releases every subscriber and closes every publisher still in a
// slot. Called before every start; installing again changes nothing.
void lumo_registry_install() noexcept;

// Starts the library as lumo_runtime_start does, with the registry installed.
std::int32_t lumo_pubsub_start(const char *home, std::int32_t port) noexcept;

}  // namespace vavevar
