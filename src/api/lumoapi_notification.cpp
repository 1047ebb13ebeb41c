// Exported notification entry points. The arguments are checked here, once;
// the operations called take them for granted unless a comment says why not.
#include "notification/notification.h"
#include "notification/notification_text.h"

namespace v = vavevar;

extern "C" {

// Creation checks the type and body itself: the library makes stream blocks
// with it from a head's type, which a head read off the wire may lack.
LUMO_EXPORT lumo_notification *lumo_notification_create(const char *type, const void *body,
                                                        int32_t bodyLength) noexcept {
    return v::lumo_notification_create(type, body, bodyLength);
}

LUMO_EXPORT int32_t lumo_notification_setProperty(lumo_notification *n, const char *name,
                                                  const char *value) noexcept {
    if (n == nullptr || name == nullptr || value == nullptr) return -2;
    return v::lumo_notification_setProperty(n, name, value);
}

LUMO_EXPORT const char *lumo_notification_getProperty(const lumo_notification *n,
                                                      const char *name) noexcept {
    if (n == nullptr || name == nullptr) return nullptr;
    return v::lumo_notification_getProperty(n, name);
}

LUMO_EXPORT lumo_property *lumo_notification_getAllProperties(const lumo_notification *n,
                                                              int32_t *count) noexcept {
    if (n == nullptr) {
        if (count != nullptr) *count = 0;
        return nullptr;
    }
    return v::lumo_notification_getAllProperties(n, count);
}

#define VAVEVAR_TEXT_ACCESSOR(field)                                                  \
    LUMO_EXPORT const char *lumo_notification_##field(const lumo_notification *n) noexcept { \
        return n != nullptr ? n->field : nullptr;                                     \
    }
VAVEVAR_TEXT_ACCESSOR(id)
VAVEVAR_TEXT_ACCESSOR(type)
VAVEVAR_TEXT_ACCESSOR(stamp)
VAVEVAR_TEXT_ACCESSOR(generatingComponent)
VAVEVAR_TEXT_ACCESSOR(generatingNode)
VAVEVAR_TEXT_ACCESSOR(generatingProcess)
VAVEVAR_TEXT_ACCESSOR(instanceName)
VAVEVAR_TEXT_ACCESSOR(affectedComponents)
VAVEVAR_TEXT_ACCESSOR(affectedNodes)
#undef VAVEVAR_TEXT_ACCESSOR

LUMO_EXPORT int32_t lumo_notification_getClass(const lumo_notification *n) noexcept {
    return n != nullptr ? n->notificationClass : v::kUnknownNotificationClass;
}

LUMO_EXPORT uint32_t lumo_notification_creationTime(const lumo_notification *n) noexcept {
    return n != nullptr ? v::lumo_notification_creationTime(n) : 0u;
}

LUMO_EXPORT int32_t lumo_notification_deliveryTime(const lumo_notification *n) noexcept {
    return n != nullptr ? v::lumo_notification_deliveryTime(n) : 0;
}

LUMO_EXPORT int32_t lumo_notification_localOnly(const lumo_notification *n) noexcept {
    return n != nullptr ? n->localOnly : 0;
}

LUMO_EXPORT void lumo_notification_setLocalOnly(lumo_notification *n) noexcept {
    if (n != nullptr) n->localOnly = 1;
}

LUMO_EXPORT const char *lumo_notification_body(const lumo_notification *n,
                                               int32_t *length) noexcept {
    if (n == nullptr) return nullptr;
    if (length != nullptr) *length = n->bodyLength;
    return n->body;
}

// A null notification is no bad input to the renderer: it has a text of its
// own, which printing shows as well, so the renderer handles it.
LUMO_EXPORT char *lumo_notification_toString(const lumo_notification *n, int32_t mode) noexcept {
    return v::lumo_notification_toString(n, mode);
}

LUMO_EXPORT void lumo_notification_print(const lumo_notification *n) noexcept {
    v::lumo_notification_print(n);
}

}  // extern "C"
