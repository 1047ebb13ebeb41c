// Condition variables built from a lock and a gate (manual-reset event), counting
// generations so that a signal releases only threads that were already
// waiting when it was given. The exported functions of the same names forward
// here; the contracts are those of the public header.
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
