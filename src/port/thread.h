// Attached (joinable) and detached threads. The exported functions of the
// same names forward here; the contracts are those of the public header.
#pragma once

#include <cstdint>

#include "port/lock.h"
#include "port/thread_annotations.h"
#include "vavevar.h"

// The record behind an attached thread's handle. The thread's last use of it
// is under `lock`, and join takes `lock` before it frees anything, so the
// record never goes while the finishing thread still touches it.
struct lumox_win32_thread_t {
    vavevar::Lock *lock;
    lumox_win32_cond_t *done;                       // broadcast when the routine has returned
    std::int32_t joiners LUMO_GUARDED_BY(lock);     // threads waiting in join
    std::uint32_t finished LUMO_GUARDED_BY(lock);   // 1 once the routine has returned
};

namespace vavevar {

// REQUIRES: routine is not null (create) and thread is not null (join); the
// C boundary refuses both.
lumox_win32_thread_t *lumox_win32_thread_createattached(void (*routine)(void *),
                                                        void *arg) noexcept;
std::uintptr_t lumox_win32_thread_createdetached(void (*routine)(void *), void *arg) noexcept;
void lumox_win32_thread_join(lumox_win32_thread_t *thread, void **result) noexcept;

}  // namespace vavevar
