// Buffered connection over a connected socket: gathers small writes into one
// send and splits what is received into lines and exact-length pieces.
//
// One thread uses a record at a time (the receiver its own, the sender its
// own); the only cross-thread call is lumo_conn_invalidate, after which every
// read, write, flush and skip fails at once. The record never owns the socket.
#pragma once

#include <atomic>
#include <cstdint>

namespace vavevar {

inline constexpr std::uint32_t kConnBufferStep = 2048;

}  // namespace vavevar

struct lumo_conn {
    char *buffer;              // one buffer for both directions
    std::uint32_t capacity;    // grows in kConnBufferStep steps for long lines
    std::uint32_t start;       // read side: first unread byte
    std::uint32_t end;         // read side: one past the last byte; write side: the fill
    std::int32_t socket;
    std::atomic<std::uint32_t> open;  // cleared from another thread by lumo_conn_invalidate
};

namespace vavevar {

// Returns a new record over `socket`, or null for -1 or when memory runs out.
lumo_conn *lumo_conn_create(std::int32_t socket) noexcept;

// Releases the buffer and the record; the socket stays open. Null is ignored.
void lumo_conn_free(lumo_conn *conn) noexcept;

// Gathers `length` bytes, sending what was gathered first when they do not
// fit and sending a piece larger than the whole buffer directly.
// Returns non-zero on success, 0 on failure (gathered bytes are then lost).
int lumo_conn_write(lumo_conn *conn, const void *bytes, std::uint32_t length) noexcept;

// Sends everything gathered. Returns 1 when all of it went out (or there was
// nothing), 0 otherwise.
int lumo_conn_flush(lumo_conn *conn) noexcept;

// Reads one line ended by LF or CR LF; *line points into the buffer (the end
// replaced by a NUL) and stays valid until the next operation on the record.
// Returns 1, or 0 when the connection failed or was invalidated.
int lumo_conn_readline(lumo_conn *conn, char **line) noexcept;

// Consumes exactly `count` bytes without looking at them. Returns 1 or 0.
int lumo_conn_skip(lumo_conn *conn, std::uint32_t count) noexcept;

// Stores exactly `count` bytes into `destination`. Returns 1, or 0 after
// reporting a short read on standard error.
int lumo_conn_read(lumo_conn *conn, void *destination, std::uint32_t count) noexcept;

std::int32_t lumo_conn_socket(const lumo_conn *conn) noexcept;

// Makes every later read, write, flush and skip fail without touching the
// socket. Safe to call from another thread than the record's user.
void lumo_conn_invalidate(lumo_conn *conn) noexcept;

}  // namespace vavevar
