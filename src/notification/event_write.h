// The outbound event message ("POST /event", client to daemon), written into
// a buffer; the sender hands the buffer to the connection.
#pragma once

#include <cstddef>

#include "notification/notification.h"
#include "port/bytebuf.h"

namespace vavevar {

// Appends `n` as one whole message to `out`, stating `instanceName` (its
// `instanceNameLength` bytes; null states none) in the instanceName line.
// Returns true; false when memory runs out, with `out` as it was. `n` is
// not null and is not changed.
bool lumo_event_write(const lumo_notification *n, const char *instanceName,
                     std::size_t instanceNameLength, ByteBuffer &out) noexcept;

}  // namespace vavevar
