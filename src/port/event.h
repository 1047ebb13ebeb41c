// Manual-reset event: once set it stays signalled, releasing every waiter,
// until it is reset. Timed waits run on the monotonic clock, so changing the
// wall clock neither shortens nor stretches them.
#pragma once

#include <cstdint>

#include "vavevar.h"

namespace vavevar {

// Returns a new event, not signalled, or null when memory runs out or the
// system refuses its mutex or condition.
lumox_win32_event *lumo_event_create() noexcept;

// Releases an event no thread waits on; null is ignored.
void lumo_event_destroy(lumox_win32_event *event) noexcept;

void lumo_event_set(lumox_win32_event *event) noexcept;
void lumo_event_reset(lumox_win32_event *event) noexcept;

// Waits until the event is signalled or `timeout_ms` has passed; a negative
// time-out waits without limit and 0 only looks. Returns true when the event
// is signalled, false on time-out.
bool lumo_event_wait(lumox_win32_event *event, std::int64_t timeout_ms) noexcept;

}  // namespace vavevar
