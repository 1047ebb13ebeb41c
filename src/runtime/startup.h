// The start-up record through which initialisation and its two threads hand
// over. It lives on the initialising thread's stack; each thread stops
// touching it at the point given below, before initialisation can return.
#pragma once

#include <cstdint>

#include "port/lock.h"
#include "vavevar.h"

struct lumo_startup {
    std::int32_t sender_started LUMO_GUARDED_BY(lock);
    std::int32_t receiver_started LUMO_GUARDED_BY(lock);
    std::int32_t both_ready LUMO_GUARDED_BY(lock);
    std::int32_t waiters LUMO_GUARDED_BY(lock);
    vavevar::Lock *lock;
    lumox_win32_cond_t *cond;
    std::uint16_t port;
    std::uint32_t daemon_uid;  // the user the daemon must run as, besides root
};

namespace vavevar {

// Makes the record's lock and condition; false when memory runs out.
bool lumo_startup_init(lumo_startup *record, std::uint16_t port, std::uint32_t daemon_uid) noexcept;
void lumo_startup_destroy(lumo_startup *record) noexcept;

// Receiver side: announces itself, waits for the sender, then declares both
// ready. The record must not be touched after this returns.
void lumo_startup_receiver_ready(lumo_startup *record) noexcept;

// Sender side: announces itself. The record must not be touched afterwards.
void lumo_startup_sender_ready(lumo_startup *record) noexcept;

// Initialisation side: waits until the given flag of the record is set.
void lumo_startup_wait(lumo_startup *record, std::int32_t lumo_startup::*flag) noexcept;

}  // namespace vavevar
