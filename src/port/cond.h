// Condition variables built from a lock and a gate (manual-reset event), counting
// generations so that a signal releases only threads that were already
// waiting when it was given. The exported functions of the same names forward
// here; the contracts are those of the public header, with the C boundary's
// checks taken for granted: init gets a record, and the waits get a mutex.
//
// A null variable, and one whose init failed, is still looked for here, in
// every operation but init: the library's own queues and threads destroy a
// variable whose init failed with the rest of a half-built record, and a
// record that holds no lock or event is inert wherever it goes.
#pragma once

#include <cstdint>

#include "vavevar.h"

namespace vavevar {

std::int32_t lumox_win32_cond_init(lumox_win32_cond_t *cond) noexcept;
void lumox_win32_cond_destroy(lumox_win32_cond_t *cond) noexcept;
void lumox_win32_cond_wait(lumox_win32_cond_t *cond, pthread_mutex_t *mutex) noexcept;
std::int32_t lumox_win32_cond_timedwait(lumox_win32_cond_t *cond, pthread_mutex_t *mutex,
                                        std::uint32_t timeout_ms) noexcept;
void lumox_win32_cond_signal(lumox_win32_cond_t *cond) noexcept;
void lumox_win32_cond_broadcast(lumox_win32_cond_t *cond) noexcept;

}  // namespace vavevar
