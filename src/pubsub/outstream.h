// Output streams: the sending end of a notification stream. The head is a
// class-3 notification published once (which binds it to its publisher and
// makes its identifier the stream key, sending nothing); every write then
// publishes one class-4 block through that publisher, and close publishes the
// bodiless end marker and destroys the head. A stream belongs to one thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "vavevar.h"

struct lumo_outstream {
    lumo_notification *head;  // not owned until close
    std::atomic<std::uint32_t> closed;
};

namespace vavevar {

// A new class-3 head with a copy of `type`; null for a null type or no memory
// (the creation it builds on checks the type).
lumo_notification *lumo_notification_createstream(const char *type) noexcept;

// The head's output stream, made on the first call; null for any class but
// 3, and when memory runs out. REQUIRES: head is not null.
lumo_outstream *lumo_notification_getOutputStream(lumo_notification *head) noexcept;

// Builds one block (no body when `length` is 0) and publishes it through the
// head's publisher. Returns `length`; 0 when the head was never published
// (nothing to send it through); -1 when memory runs out. REQUIRES: head is
// not null.
std::int32_t lumo_outstream_send(lumo_notification *head, const void *data,
                                 std::int32_t length) noexcept;

// The exported write, flush and close; contracts in the public header.
// REQUIRES: write gets a stream, data and a length of 1 or more; close a
// handle that holds a stream.
std::int32_t lumo_outstream_write(lumo_outstream *stream, const void *data,
                                  std::int32_t length) noexcept;
std::int32_t lumo_outstream_flush(lumo_outstream *stream) noexcept;
void lumo_outstream_close(lumo_outstream **handle) noexcept;

}  // namespace vavevar
