// Subscription requests: the payload of the sender's subscribe and
// unsubscribe messages, and their form on the wire, written into a buffer
// that the sender hands to the connection.
#pragma once

#include <cstdint>

#include "port/bytebuf.h"
#include "vavevar.h"

namespace vavevar {

enum SubreqKind : std::uint32_t { kSubscribe = 0, kUnsubscribe = 1 };

}  // namespace vavevar

struct lumo_subreq {
    std::uint32_t kind;  // vavevar::SubreqKind
    std::int32_t subscriberId;
    char *subscription;  // owned copies, null when absent; unsubscribes carry none
    char *component;
    char *mbrInterest;
    std::uint32_t deltas;
    lumo_proplist *properties;  // owned copy or null
    // Made again after a reconnection, not by the application: the daemon
    // may replay to it what it holds from before.
    std::uint32_t resubscribe;
};

namespace vavevar {

// A subscribe request holding copies of the given texts and of the property
// list. Returns null when memory runs out (nothing is left allocated).
lumo_subreq *lumo_subreq_subscribe(std::int32_t subscriberId, const char *subscription,
                                   const char *component, const char *mbrInterest,
                                   std::uint32_t deltas, const lumo_proplist *properties) noexcept;

// An unsubscribe request, or null when memory runs out.
lumo_subreq *lumo_subreq_unsubscribe(std::int32_t subscriberId) noexcept;

// Releases the request with its texts and property list; null is ignored.
void lumo_subreq_free(lumo_subreq *request) noexcept;

// Appends the request as one whole message to `out`. False when memory
// runs out (`out` is then as it was).
bool lumo_subreq_write(const lumo_subreq *request, ByteBuffer &out) noexcept;

// Hands the request to the sender (taken over when the result is true; it stays
// the caller's otherwise), as lumo_sender_enqueue_request does.
bool lumo_subreq_enqueue(lumo_subreq *request) noexcept;

}  // namespace vavevar
