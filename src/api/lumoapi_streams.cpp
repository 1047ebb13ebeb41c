// Exported notification stream entry points. The arguments are checked here,
// once; whether a stream is closed or at its end is state, looked at inside.
#include "pubsub/instream.h"
#include "pubsub/outstream.h"
#include "notification/notification.h"
#include "vavevar.h"

namespace v = vavevar;

extern "C" {

// The type is checked by the notification creation underneath.
LUMO_EXPORT lumo_notification *lumo_notification_createstream(const char *type) noexcept {
    return v::lumo_notification_createstream(type);
}

LUMO_EXPORT lumo_instream *lumo_notification_getInputStream(const lumo_notification *n) noexcept {
    return n != nullptr ? v::lumo_instream_hand_out(n->inputStream) : nullptr;
}

LUMO_EXPORT lumo_outstream *lumo_notification_getOutputStream(lumo_notification *n) noexcept {
    if (n == nullptr) return nullptr;
    return v::lumo_notification_getOutputStream(n);
}

LUMO_EXPORT int32_t lumo_instream_read(lumo_instream *stream, void *buffer,
                                       int32_t length) noexcept {
    if (stream == nullptr || buffer == nullptr || length < 1) return 0;
    return v::lumo_instream_read(stream, buffer, length);
}

LUMO_EXPORT void lumo_instream_close(lumo_instream **stream) noexcept {
    if (stream == nullptr || *stream == nullptr) return;
    v::lumo_instream_close(stream);
}

LUMO_EXPORT int32_t lumo_outstream_write(lumo_outstream *stream, const void *data,
                                         int32_t length) noexcept {
    if (stream == nullptr || data == nullptr || length < 1) return 0;
    return v::lumo_outstream_write(stream, data, length);
}

LUMO_EXPORT int32_t lumo_outstream_flush(lumo_outstream *stream) noexcept {
    return v::lumo_outstream_flush(stream);
}

LUMO_EXPORT void lumo_outstream_close(lumo_outstream **stream) noexcept {
    if (stream == nullptr || *stream == nullptr) return;
    v::lumo_outstream_close(stream);
}

}  // extern "C"
