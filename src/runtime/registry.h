// The client registry: the open publishers and subscribers of the process,
// in slot tables inside the runtime state and guarded by its lock. A
// subscriber's identifier, by which the daemon addresses it, is its 1-based
// slot number; slots are never reused while the runtime lives.
#pragma once

#include <cstdint>

#include "vavevar.h"

namespace vavevar {

// Receiver side: hands an event to the subscriber of `id` (the registry takes
// the notification; nobody's event is destroyed), a status answer with its
// message (taken as well), and the news of a lost or re-established link.
void lumo_registry_deliver(lumo_notification *n, std::int32_t id) noexcept;
void lumo_registry_status(std::int32_t id, std::int32_t success, char *message) noexcept;
void lumo_registry_link_lost() noexcept;
void lumo_registry_resubscribe() noexcept;

}  // namespace vavevar
