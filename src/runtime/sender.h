// The sender thread: the only writer of messages after the handshake.
// Application threads and the receiver queue outbound messages; the sender
// writes them in order once the link is up, and puts a message whose write
// failed back at the head, to be written whole on the next connection.
#pragma once

#include <cstdint>

#include "notification/notification.h"

#include "port/bytebuf.h"

namespace vavevar {

enum OutmsgKind : std::uint32_t { kOutmsgEvent = 0, kOutmsgSubscribe = 1, kOutmsgUnsubscribe = 2 };

// How the sender writes and releases a payload whose type belongs to a layer
// above it (a subscription request): the layer hands both over with it.
struct OutmsgOps {
    // Appends the whole message to `out`; false when memory ran out (`out`
    // is then as it was).
    bool (*write)(const void *payload, ByteBuffer &out) noexcept;
    void (*destroy)(void *payload) noexcept;
};

}  // namespace vavevar

// A subscription request on its way out. (An event is queued as the
// notification itself.)
struct lumo_outmsg {
    std::uint32_t msg_kind;            // kOutmsgSubscribe or kOutmsgUnsubscribe
    std::int32_t subscriberId;         // of the request
    void *payload;
    const vavevar::OutmsgOps *ops;
};

namespace vavevar {

// Makes the sender's locks, once per process (see lumo_link_prepare for why
// they outlive a runtime). Returns false when memory runs out.
bool lumo_sender_prepare() noexcept;

// Thread entry; `startup` is the start-up record of the initialising call.
void lumo_sender_main(void *startup) noexcept;

// Queue a notification (taken over in every case) or a subscription request
// of kind kOutmsgSubscribe or kOutmsgUnsubscribe (taken over when the result
// is true, and written and released through `ops`) for writing. True when
// handed to the sender; false for null, when memory runs out or when the sender
// no longer takes messages (stopping or not running): a refused notification
// is destroyed, a refused request stays the caller's.
// A notification is counted as published and first takes its room in the
// send budget, waiting for it as the budget says; one that finds none in
// time, or is refused, is destroyed and counted as dropped. A request never
// waits and takes no room.
bool lumo_sender_enqueue_event(lumo_notification *n) noexcept;
bool lumo_sender_enqueue_request(OutmsgKind kind, std::int32_t subscriberId, void *payload,
                                         const OutmsgOps *ops) noexcept;

// Shutdown: with `wait`, returns once the sender has taken every queued
// message; without, queued messages are abandoned. Then the sender leaves its
// loop, and the caller joins it. A daemon that stops reading cannot hold this
// up: when the sender has not finished within kSenderGraceMs, the connection
// is shut down under it and what is left is abandoned.
void lumo_sender_stop(std::int32_t wait) noexcept;

// Shutdown, after the sender thread was joined: ends the grace watch.
void lumo_sender_stopped() noexcept;

// Receiver, after a lost connection: the sender's next write fails at once.
void lumo_sender_invalidate_conn() noexcept;

// Receiver, after a lost connection: drops queued unsubscribe requests.
void lumo_sender_purge_unsubscribes() noexcept;

// Whether a subscribe request for the subscriber's identifier is queued.
bool lumo_sender_subscribe_pending(std::int32_t subscriberId) noexcept;

// Destroys the request and its payload; null is ignored.
void lumo_outmsg_free(lumo_outmsg *message) noexcept;

// How long a stopping sender may take to write what is queued.
inline constexpr std::uint32_t kSenderGraceMs = 5000;

}  // namespace vavevar
