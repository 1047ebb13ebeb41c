// The daemon link: the state of the one connection to the daemon, shared by
// the receiver thread (which opens, reads and closes it), the sender thread
// (which writes on it) and the threads that wait for it to come up.
#pragma once

#include <cstdint>

namespace vavevar {

// Makes the link's lock and condition, once per process: they outlive every
// runtime so that a thread still waiting on the link while the library stops
// never touches a released lock. Returns false when memory runs out.
bool lumo_link_prepare() noexcept;

// Receiver, at its start: no socket, not connected, nobody told to stop.
void lumo_link_reset() noexcept;

// Returns the connected socket, waiting first when the link is down: at most
// `timeout_ms` (one wait) when above 0, else until it comes up or the library
// stops. Returns -1 when the link is not up then.
std::int32_t lumo_link_wait(std::int32_t timeout_ms) noexcept;

// As lumo_link_wait, but returns a duplicate of the socket that the caller
// owns and closes. The sender writes on its own duplicate: the receiver
// closes the original after a loss, and its number could be given to the
// next connection while the sender is still in a send on it.
std::int32_t lumo_link_wait_dup(std::int32_t timeout_ms) noexcept;

// Whether the link is connected and not closing.
bool lumo_link_is_up() noexcept;

// Shutdown: marks the link exiting, wakes every waiter and every pause, and
// shuts the socket down, which wakes the receiver out of its connect or read;
// the receiver closes it.
void lumo_link_close() noexcept;

// Shutdown: makes every lumo_link_wait return at once from now on.
void lumo_link_release_waiters() noexcept;

// Shutdown, when the sender cannot finish: shuts the current socket down
// without closing it (the receiver still owns it), so that a send blocked on
// a daemon that stopped reading fails.
void lumo_link_abort() noexcept;

// True once lumo_link_close has been called for this runtime.
bool lumo_link_exiting() noexcept;

// Receiver: waits `ms` milliseconds between attempts, or less when
// lumo_link_close comes meanwhile. Returns false when the link is closing,
// at once if it already was; true when the whole pause passed.
bool lumo_link_pause(std::uint32_t ms) noexcept;

// Receiver side. The socket is stored before it connects, so that a stop can
// cut its connect short, then the link is reported up after a good handshake;
// lumo_link_take_socket clears both and returns the socket (or -1) for the
// receiver to close.
// lumo_link_set_socket refuses (false) once the link is closing: the receiver
// must then close the socket itself, since nobody else will.
// Each time up is counted; the link coming up again after the first time,
// and a link that was up being taken (not shut by a stop), are reported to
// the flow observer.
bool lumo_link_set_socket(std::int32_t socket) noexcept;
bool lumo_link_set_connected() noexcept;  // false once the link is closing
std::int32_t lumo_link_take_socket() noexcept;

// Shuts a socket down both ways and closes it without lingering.
void lumo_link_close_socket(std::int32_t socket) noexcept;

}  // namespace vavevar
