// Gate: the platform's manual-reset event under a name of its own, so that it
// is never mistaken for the wire's event messages or the daemon's event
// records. Once set it stays open, releasing every waiter, until it is reset.
// Timed waits run on the monotonic clock, so changing the wall clock neither
// shortens nor stretches them.
#pragma once

#include <cstdint>

#include "vavevar.h"

namespace vavevar {

// The public header declares the record (the condition variable points at
// one) under its exported tag; inside the library it is a gate.
using lumo_gate = ::lumox_win32_event;

// Returns a new gate, not set, or null when memory runs out or the system
// refuses its mutex or condition.
lumo_gate *lumo_gate_create() noexcept;

// Releases a gate no thread waits on; null is ignored.
void lumo_gate_destroy(lumo_gate *gate) noexcept;

void lumo_gate_set(lumo_gate *gate) noexcept;
void lumo_gate_reset(lumo_gate *gate) noexcept;

// Waits until the gate is set or `timeout_ms` has passed; a negative
// time-out waits without limit and 0 only looks. Returns true when the gate
// is set, false on time-out.
bool lumo_gate_wait(lumo_gate *gate, std::int64_t timeout_ms) noexcept;

}  // namespace vavevar
