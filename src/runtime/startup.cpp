#include "runtime/startup.h"

#include "port/cond.h"
#include "port/cond_alloc.h"

namespace vavevar {
namespace {

void set_and_broadcast(lumo_startup *record, std::int32_t lumo_startup::*flag) noexcept
    LUMO_REQUIRES(record->lock) {
    record->*flag = 1;
    if (record->waiters != 0) vavevar::lumox_win32_cond_broadcast(record->cond);
}

void wait_locked(lumo_startup *record, std::int32_t lumo_startup::*flag) noexcept
    LUMO_REQUIRES(record->lock) {
    while (record->*flag == 0) {
        record->waiters += 1;
        vavevar::lumox_win32_cond_wait(record->cond, record->lock->native());
        record->waiters -= 1;
    }
}

}  // namespace

bool lumo_startup_init(lumo_startup *record, std::uint16_t port, std::uint32_t daemon_uid) noexcept
    LUMO_NO_THREAD_SAFETY_ANALYSIS {
    *record = lumo_startup{};
    record->port = port;
    record->daemon_uid = daemon_uid;
    record->lock = lumo_lock_create();
    record->cond = lumo_cond_create();
    if (record->lock == nullptr || record->cond == nullptr) {
        lumo_startup_destroy(record);
        return false;
    }
    return true;
}

void lumo_startup_destroy(lumo_startup *record) noexcept {
    lumo_cond_free(record->cond);
    lumo_lock_destroy(record->lock);
    record->cond = nullptr;
    record->lock = nullptr;
}

void lumo_startup_receiver_ready(lumo_startup *record) noexcept {
    LockGuard guard(record->lock);
    set_and_broadcast(record, &lumo_startup::receiver_started);
    wait_locked(record, &lumo_startup::sender_started);
    set_and_broadcast(record, &lumo_startup::both_ready);
}

void lumo_startup_sender_ready(lumo_startup *record) noexcept {
    LockGuard guard(record->lock);
    set_and_broadcast(record, &lumo_startup::sender_started);
}

void lumo_startup_wait(lumo_startup *record, std::int32_t lumo_startup::*flag) noexcept {
    LockGuard guard(record->lock);
    wait_locked(record, flag);
}

}  // namespace vavevar
