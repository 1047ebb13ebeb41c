// One side's hold on a connected socket: whole sends and plain receives.
// Messages are built in buffers and parsed by push parsers elsewhere; this
// record only moves their bytes.
//
// One thread uses a record at a time (the receiver its own, the sender its
// own); the only cross-thread call is lumo_conn_invalidate, after which every
// send and receive fails at once. The record never owns the socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct lumo_conn {
    std::int32_t socket;
    std::atomic<std::uint32_t> open;  // cleared from another thread by lumo_conn_invalidate
};

namespace vavevar {

// Returns a new record over `socket`, or null for -1 or when memory runs out.
lumo_conn *lumo_conn_create(std::int32_t socket) noexcept;

// Releases the record; the socket stays open. Null is ignored.
void lumo_conn_free(lumo_conn *conn) noexcept;

// Sends all `length` bytes, in as many calls as it takes. True when every
// byte went out (or there were none), false when the connection failed or
// was invalidated before the call. `handed`, when given, tells how many
// bytes the kernel took, all of them or those before the failure.
bool lumo_conn_send(lumo_conn *conn, const void *bytes, std::size_t length,
                    std::size_t *handed = nullptr) noexcept;

// One receive of at most `length` bytes into `into`. Returns how many came,
// 0 when the peer closed the connection, -1 when it failed or was
// invalidated.
std::int64_t lumo_conn_receive(lumo_conn *conn, void *into, std::size_t length) noexcept;

std::int32_t lumo_conn_socket(const lumo_conn *conn) noexcept;

// Makes every later send and receive fail without touching the socket. Safe
// to call from another thread than the record's user.
void lumo_conn_invalidate(lumo_conn *conn) noexcept;

}  // namespace vavevar
