// The daemon's answer to a subscription, as the creator waits for it or the
// application collects it later.
#pragma once

#include <cstdint>

#include "port/lock.h"
#include "vavevar.h"

struct lumo_reply {
    vavevar::Lock *lock;
    lumox_win32_cond_t *cond;  // only when the creator waits
    std::int32_t waiters LUMO_GUARDED_BY(lock);
    std::uint32_t done LUMO_GUARDED_BY(lock);
    char *message LUMO_GUARDED_BY(lock);
    std::uint32_t result LUMO_GUARDED_BY(lock);  // 1 accepted, 0 refused
};

namespace vavevar {

lumo_reply *lumo_reply_create(bool waitable) noexcept;
void lumo_reply_free(lumo_reply *reply) noexcept;

// Records the answer (the message is taken over) unless one was recorded
// already, and wakes the creator.
void lumo_reply_answer(lumo_reply *reply, std::int32_t result, char *message) noexcept;

// Waits for the answer: at most `timeoutMs` when above 0, else without
// limit. True when it has arrived.
bool lumo_reply_wait(lumo_reply *reply, std::int32_t timeoutMs) noexcept;

// True when answered; then *result, and *message takes the answer's text
// over (null when it had none).
bool lumo_reply_outcome(lumo_reply *reply, std::int32_t *result, char **message) noexcept;

}  // namespace vavevar
