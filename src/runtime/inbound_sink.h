// Where the receiver hands what the daemon sends, and whom a stop tells to
// let go of the library's clients. The layer that owns publishers and
// subscribers installs it, so the runtime needs nothing of that layer; with
// none installed, events are dropped and answers ignored.
#pragma once

#include <cstdint>

#include "vavevar.h"

struct lumo_runtime;

namespace vavevar {

struct InboundSink {
    // An event for one subscriber; the notification is taken over.
    // `replayed`: the daemon sent it again after a reconnection.
    void (*deliver)(lumo_notification *n, std::int32_t subscriberId, bool replayed) noexcept;
    // A gap notice: the daemon skipped `count` notifications for it.
    void (*gap)(std::int32_t subscriberId, std::uint64_t count) noexcept;
    // A status answer; the message (null or a lumo_malloc'd text) is taken over.
    void (*status)(std::int32_t subscriberId, std::int32_t success, char *message) noexcept;
    // The link to the daemon was lost / is up again after a loss.
    void (*link_lost)() noexcept;
    void (*link_restored)() noexcept;
    // Shutdown, once `runtime` is unreachable and both threads have ended.
    void (*release_all)(lumo_runtime *runtime) noexcept;
};

// Installs `sink` (a constant that outlives every runtime) for every later
// delivery; installing the same sink again changes nothing.
void lumo_inbound_install(const InboundSink *sink) noexcept;

void lumo_inbound_deliver(lumo_notification *n, std::int32_t subscriberId, bool replayed = false) noexcept;
void lumo_inbound_gap(std::int32_t subscriberId, std::uint64_t count) noexcept;
void lumo_inbound_status(std::int32_t subscriberId, std::int32_t success, char *message) noexcept;
void lumo_inbound_link_lost() noexcept;
void lumo_inbound_link_restored() noexcept;
void lumo_inbound_release_all(lumo_runtime *runtime) noexcept;

}  // namespace vavevar
