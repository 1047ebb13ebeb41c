#include "notification/notification.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "port/memory.h"

namespace vavevar {
namespace {

bool within(const void *p, const void *block, std::size_t size) {
    const auto *start = static_cast<const char *>(block);
    const auto *at = static_cast<const char *>(p);
    return at >= start && at < start + size;
}

// Whether `p` lies in a block the record shares (and so is not freed apart).
bool in_block(const lumo_notification *n, const void *p) {
    return within(p, n, n->blockSize) || within(p, n->stampBlock, n->stampBlockSize);
}

void free_text(const lumo_notification *n, char *text) {
    if (!in_block(n, text)) lumo_free(text);
}

void release_properties(const lumo_notification *n) {
    for (lumo_propnode *node = n->properties; node != nullptr;) {
        lumo_propnode *next = node->next;
        if (!in_block(n, node)) {
            lumo_free(node->name);
            lumo_free(node->value);
            lumo_free(node);
        }
        node = next;
    }
}

void replace(const lumo_notification *n, char *&field, char *text) {
    free_text(n, field);
    field = text;
}

// Room a created notification keeps for its stamp's texts: a component,
// host name, process and identifier of usual lengths.
constexpr std::size_t kStampRoomBytes = 128;

constexpr std::size_t kRecordBytes =
    (sizeof(lumo_notification) + alignof(lumo_propnode) - 1) / alignof(lumo_propnode) *
    alignof(lumo_propnode);

}  // namespace

lumo_notification *lumo_notification_assemble(const lumo_notification &scalars, const char *texts,
                                              std::size_t size, const ReceivedTexts &where,
                                              std::size_t bodyRoom, char **room) noexcept {
    const auto properties = static_cast<std::size_t>(where.propertyCount);
    if (bodyRoom > UINT32_MAX) return nullptr;
    const std::size_t total = kRecordBytes + properties * sizeof(lumo_propnode) + size + bodyRoom;
    if (total > UINT32_MAX) return nullptr;
    auto *block = static_cast<char *>(lumo_malloc(total));
    if (block == nullptr) return nullptr;
    auto *n = reinterpret_cast<lumo_notification *>(block);
    *n = scalars;
    n->blockSize = static_cast<std::uint32_t>(total);
    auto *nodes = reinterpret_cast<lumo_propnode *>(block + kRecordBytes);
    char *copy = reinterpret_cast<char *>(nodes + properties);
    if (size > 0) std::memcpy(copy, texts, size);
    if (room != nullptr) *room = bodyRoom > 0 ? copy + size : nullptr;

    auto text = [&](NotificationText which) -> char * {
        std::size_t at = where.at[static_cast<std::size_t>(which)];
        return at != 0 ? copy + at - 1 : nullptr;
    };
    n->type = text(NotificationText::type);
    n->affectedComponents = text(NotificationText::affectedComponents);
    n->affectedNodes = text(NotificationText::affectedNodes);
    n->generatingComponent = text(NotificationText::generatingComponent);
    n->generatingNode = text(NotificationText::generatingNode);
    n->generatingProcess = text(NotificationText::generatingProcess);
    n->id = text(NotificationText::id);
    n->instanceName = text(NotificationText::instanceName);
    n->streamKey = text(NotificationText::streamKey);
    n->stamp = nullptr;
    n->body = nullptr;
    n->bodyLength = 0;

    // Each property is linked in front of the one received before it.
    n->properties = nullptr;
    char *next = copy + where.propertiesAt;
    for (std::size_t i = 0; i < properties; ++i) {
        nodes[i].name = next;
        nodes[i].value = next + std::strlen(next) + 1;
        next = nodes[i].value + std::strlen(nodes[i].value) + 1;
        nodes[i].next = n->properties;
        n->properties = &nodes[i];
    }
    return n;
}

lumo_notification *lumo_notification_create(const char *type, const void *body,
                                            std::int32_t bodyLength) noexcept {
    if (type == nullptr || (body == nullptr && bodyLength > 0)) return nullptr;
    // One block: the record, its type, its body and room for the stamp.
    const std::size_t typeSize = std::strlen(type) + 1;
    const std::size_t bodySize = bodyLength > 0 ? static_cast<std::size_t>(bodyLength) : 0;
    const std::size_t total = sizeof(lumo_notification) + typeSize + bodySize + kStampRoomBytes;
    if (typeSize > UINT32_MAX || total > UINT32_MAX) return nullptr;
    auto *block = static_cast<char *>(lumo_malloc(total));
    if (block == nullptr) return nullptr;
    auto *n = reinterpret_cast<lumo_notification *>(block);
    *n = lumo_notification{};
    n->blockSize = static_cast<std::uint32_t>(total);
    n->notificationClass = kMessageNotification;
    n->type = block + sizeof(lumo_notification);
    std::memcpy(n->type, type, typeSize);
    n->bodyLength = bodyLength;
    if (bodySize > 0) {
        n->body = n->type + typeSize;
        std::memcpy(n->body, body, bodySize);
    }
    n->stampRoom = n->type + typeSize + bodySize;
    n->stampRoomSize = kStampRoomBytes;
    return n;
}

void lumo_notification_destroy(lumo_notification *n) noexcept {
    if (n == nullptr) return;
    // The first notification of a received stream keeps its input stream.
    if (n->inputStream != nullptr && n->inputStreamGone != nullptr) n->inputStreamGone(n->inputStream);
    for (char *text : {n->type, n->stamp, n->affectedComponents, n->affectedNodes,
                       n->generatingComponent, n->generatingNode, n->generatingProcess, n->id,
                       n->body, n->instanceName, n->streamKey})
        free_text(n, text);
    release_properties(n);
    lumo_free(n->stampBlock);
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
    // The four texts share one block, which replaces the last stamp's.
    const char *sources[4] = {component, node, process, id};
    std::size_t sizes[4];
    std::size_t total = 0;
    for (int i = 0; i < 4; ++i) {
        sizes[i] = sources[i] != nullptr ? std::strlen(sources[i]) + 1 : 0;
        total += sizes[i];
    }
    if (total > UINT32_MAX) return false;
    // The first stamp of a created notification fits in its own room as a
    // rule; any other gets a block of its own.
    const bool inRoom = total > 0 && total <= n->stampRoomSize;
    char *block = inRoom ? n->stampRoom : total > 0 ? static_cast<char *>(lumo_malloc(total)) : nullptr;
    if (total > 0 && block == nullptr) return false;
    n->stampRoomSize = 0;
    char *copies[4];
    char *next = block;
    for (int i = 0; i < 4; ++i) {
        copies[i] = sources[i] != nullptr ? next : nullptr;
        if (sources[i] != nullptr) std::memcpy(next, sources[i], sizes[i]);
        next += sizes[i];
    }
    replace(n, n->generatingComponent, copies[0]);
    replace(n, n->generatingNode, copies[1]);
    replace(n, n->generatingProcess, copies[2]);
    replace(n, n->id, copies[3]);
    lumo_free(n->stampBlock);
    n->stampBlock = inRoom ? nullptr : block;
    n->stampBlockSize = inRoom ? 0 : static_cast<std::uint32_t>(total);
    n->creationTime = -1;
    n->subscriberId = subscriberId;
    return true;
}

bool lumo_notification_setStream(lumo_notification *n, lumo_publisher *publisher) noexcept {
    char *key = lumo_strdup_null(n->id);
    if (n->id != nullptr && key == nullptr) return false;
    replace(n, n->streamKey, key);
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

char *lumo_notification_takeBody(lumo_notification *n) noexcept {
    if (n == nullptr) return nullptr;
    char *body = n->bodyLength > 0 ? n->body : nullptr;
    if (body != nullptr && in_block(n, body)) {
        body = static_cast<char *>(lumo_malloc(static_cast<std::size_t>(n->bodyLength)));
        if (body == nullptr) return nullptr;  // the notification keeps it
        std::memcpy(body, n->body, static_cast<std::size_t>(n->bodyLength));
    } else if (body == nullptr) {
        free_text(n, n->body);  // a zero-length body of its own
    }
    n->body = nullptr;
    n->bodyLength = 0;
    return body;
}

}  // namespace vavevar
