#include "notification/notification.h"

#include <cstring>
#include <initializer_list>

#include "port/memory.h"

namespace vavevar {
namespace {

void release_properties(lumo_propnode *node) {
    while (node != nullptr) {
        lumo_propnode *next = node->next;
        lumo_free(node->name);
        lumo_free(node->value);
        lumo_free(node);
        node = next;
    }
}

void replace(char *&field, char *text) {
    lumo_free(field);
    field = text;
}

}  // namespace

lumo_notification *lumo_notification_alloc() noexcept {
    auto *n = static_cast<lumo_notification *>(lumo_malloc(sizeof(lumo_notification)));
    if (n != nullptr) *n = lumo_notification{};
    return n;
}

lumo_notification *lumo_notification_create(const char *type, const void *body,
                                            std::int32_t bodyLength) noexcept {
    if (type == nullptr || (body == nullptr && bodyLength > 0)) return nullptr;
    lumo_notification *n = lumo_notification_alloc();
    if (n == nullptr) return nullptr;
    n->notificationClass = kMessageNotification;
    n->type = lumo_strdup(type);
    if (n->type == nullptr) {
        lumo_free(n);
        return nullptr;
    }
    n->bodyLength = bodyLength;
    if (bodyLength > 0) {
        n->body = static_cast<char *>(lumo_malloc(static_cast<std::size_t>(bodyLength)));
        if (n->body == nullptr) {
            lumo_notification_destroy(n);
            return nullptr;
        }
        std::memcpy(n->body, body, static_cast<std::size_t>(bodyLength));
    }
    return n;
}

void lumo_notification_destroy(lumo_notification *n) noexcept {
    if (n == nullptr) return;
    // The first notification of a received stream keeps its input stream.
    if (n->inputStream != nullptr && n->inputStreamGone != nullptr) n->inputStreamGone(n->inputStream);
    for (char *text : {n->type, n->stamp, n->affectedComponents, n->affectedNodes,
                       n->generatingComponent, n->generatingNode, n->generatingProcess, n->id,
                       n->body, n->instanceName, n->streamKey})
        lumo_free(text);
    release_properties(n->properties);
    lumo_free(n);
}

std::int32_t lumo_notification_setProperty(lumo_notification *n, const char *name,
                                           const char *value) noexcept {
    auto *node = static_cast<lumo_propnode *>(lumo_malloc(sizeof(lumo_propnode)));
    if (node == nullptr) return -2;

    // An illegal name or value is stored with the error text in its place, so
    // whoever receives the event sees what went wrong.
    std::int32_t result = 0;
    const char *stored_name = name;
    if (std::strpbrk(name, ":\r\n") != nullptr) {
        stored_name = kIllegalPropertyName;
        result = -1;
    }
    const char *stored_value = value;
    if (std::strpbrk(value, "\r\n") != nullptr) {
        stored_value = kIllegalPropertyValue;
        result = -1;
    }

    node->name = lumo_strdup(stored_name);
    node->value = node->name != nullptr ? lumo_strdup(stored_value) : nullptr;
    if (node->value == nullptr) {
        lumo_free(node->name);
        lumo_free(node);
        return -2;
    }
    node->next = n->properties;
    n->properties = node;
    return result;
}

const char *lumo_notification_getProperty(const lumo_notification *n, const char *name) noexcept {
    for (const lumo_propnode *node = n->properties; node != nullptr; node = node->next)
        if (std::strcmp(node->name, name) == 0) return node->value;
    return nullptr;
}

lumo_property *lumo_notification_getAllProperties(const lumo_notification *n,
                                                  std::int32_t *count) noexcept {
    std::int32_t total = 0;
    for (const lumo_propnode *node = n->properties; node != nullptr; node = node->next) ++total;
    lumo_property *array = nullptr;
    if (total > 0)
        array = static_cast<lumo_property *>(
            lumo_malloc(sizeof(lumo_property) * static_cast<std::size_t>(total)));
    if (array == nullptr) total = 0;
    std::int32_t i = 0;
    for (const lumo_propnode *node = array ? n->properties : nullptr; node; node = node->next)
        array[i++] = lumo_property{node->name, node->value};
    if (count != nullptr) *count = total;
    return array;
}

std::uint32_t lumo_notification_creationTime(const lumo_notification *n) noexcept {
    return static_cast<std::uint32_t>(n->creationTime / 1000);
}

std::int32_t lumo_notification_deliveryTime(const lumo_notification *n) noexcept {
    return static_cast<std::int32_t>(n->deliveryTime / 1000);
}

void lumo_notification_setClass(lumo_notification *n, std::int32_t cls) noexcept {
    if (n != nullptr) n->notificationClass = cls;
}

bool lumo_notification_stampForPublish(lumo_notification *n, const char *component,
                                       const char *node, const char *process, const char *id,
                                       std::int32_t subscriberId) noexcept {
    char *copies[4] = {lumo_strdup_null(component), lumo_strdup_null(node),
                       lumo_strdup_null(process), lumo_strdup_null(id)};
    const char *sources[4] = {component, node, process, id};
    for (int i = 0; i < 4; ++i) {
        if (sources[i] != nullptr && copies[i] == nullptr) {
            for (char *copy : copies) lumo_free(copy);
            return false;
        }
    }
    replace(n->generatingComponent, copies[0]);
    replace(n->generatingNode, copies[1]);
    replace(n->generatingProcess, copies[2]);
    replace(n->id, copies[3]);
    n->creationTime = -1;
    n->subscriberId = subscriberId;
    return true;
}

bool lumo_notification_setStream(lumo_notification *n, lumo_publisher *publisher) noexcept {
    char *key = lumo_strdup_null(n->id);
    if (n->id != nullptr && key == nullptr) return false;
    replace(n->streamKey, key);
    n->streamPublisher = publisher;
    return true;
}

void lumo_notification_setInputStream(lumo_notification *n, lumo_instream *stream,
                                      void (*gone)(lumo_instream *) noexcept) noexcept {
    if (n == nullptr) return;
    n->inputStream = stream;
    n->inputStreamGone = gone;
}

const char *lumo_notification_streamKey(const lumo_notification *n) noexcept {
    return n != nullptr ? n->streamKey : nullptr;
}

bool lumo_notification_hasNoBody(const lumo_notification *n) noexcept {
    return n != nullptr && (n->body == nullptr || n->bodyLength == 0);
}

void lumo_notification_detachBody(lumo_notification *n) noexcept {
    if (n == nullptr) return;
    n->body = nullptr;
    n->bodyLength = 0;
}

}  // namespace vavevar
