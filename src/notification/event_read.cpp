#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "notification/event_wire.h"
#include "port/diag.h"
#include "port/memory.h"
#include "runtime/conn.h"

namespace vavevar {
namespace {

// Reads the value of the header `header` names. Its name is skipped by length,
// not compared: the lengths are the contract with the daemon.
const char *header_value(lumo_conn *conn, std::string_view header) {
    char *line = nullptr;
    if (!lumo_conn_skip(conn, static_cast<std::uint32_t>(header.size())) || !lumo_conn_readline(conn, &line))
        return nullptr;
    return line;
}

bool read_text(lumo_conn *conn, std::string_view header, char *&field) {
    const char *value = header_value(conn, header);
    if (value == nullptr) return false;
    field = lumo_strdup(value);
    return field != nullptr;
}

std::int32_t class_of(const char *name) {
    for (std::int32_t cls = 0; cls < kUnknownNotificationClass; ++cls)
        if (std::strcmp(name, kNotificationClassNames[cls]) == 0) return cls;
    return kUnknownNotificationClass;
}

bool read_ids(lumo_conn *conn, std::int32_t **ids, std::int32_t *idCount) {
    const char *value = header_value(conn, wire::kSubscriberId);
    if (value == nullptr || *value == '\0') return false;
    std::size_t count = 1;
    for (const char *c = value; *c != '\0'; ++c) count += *c == ';';
    if (count > INT32_MAX) return false;
    auto *array = static_cast<std::int32_t *>(lumo_malloc(count * sizeof(std::int32_t)));
    if (array == nullptr) return false;
    *ids = array;
    *idCount = static_cast<std::int32_t>(count);
    const char *piece = value;
    for (std::size_t i = 0; i < count; ++i) {
        array[i] = lumo_wire_atoi(piece);
        const char *separator = std::strchr(piece, ';');
        piece = separator != nullptr ? separator + 1 : piece + std::strlen(piece);
    }
    return true;
}

// "name: value" with the name before the first colon and the value from the
// second character after it; a line without a colon carries no property.
bool read_property(lumo_conn *conn, lumo_notification *n) {
    char *line = nullptr;
    if (!lumo_conn_readline(conn, &line)) return false;
    char *colon = std::strchr(line, ':');
    if (colon == nullptr) return true;
    *colon = '\0';
    const char *value = colon[1] != '\0' ? colon + 2 : "";
    auto *node = static_cast<lumo_propnode *>(lumo_malloc(sizeof(lumo_propnode)));
    if (node == nullptr) return false;
    node->name = lumo_strdup(line);
    node->value = node->name != nullptr ? lumo_strdup(value) : nullptr;
    if (node->value == nullptr) {
        lumo_free(node->name);
        lumo_free(node);
        return false;
    }
    node->next = n->properties;
    n->properties = node;
    return true;
}

bool read_full_form(lumo_conn *conn, lumo_notification *n) {
    if (!read_text(conn, wire::kAffectedComponents, n->affectedComponents) ||
        !read_text(conn, wire::kAffectedNodes, n->affectedNodes) ||
        !read_text(conn, wire::kGeneratingComponent, n->generatingComponent) ||
        !read_text(conn, wire::kGeneratingProcess, n->generatingProcess) ||
        !read_text(conn, wire::kGeneratingNode, n->generatingNode) ||
        !read_text(conn, wire::kInstanceName, n->instanceName))
        return false;
    const char *value = header_value(conn, wire::kLocalOnly);
    if (value == nullptr) return false;
    n->localOnly = std::strcmp(value, "true") == 0 ? 1 : 0;
    value = header_value(conn, wire::kNumberOfProperties);
    if (value == nullptr) return false;
    std::int32_t properties = lumo_wire_atoi(value);
    for (std::int32_t i = 0; i < properties; ++i)
        if (!read_property(conn, n)) return false;
    if (n->notificationClass == kIncomingStreamingNotification)
        return read_text(conn, wire::kStreamKey, n->streamKey);
    return true;
}

// Reads a body of `length` bytes followed by a NUL. The block grows with the
// bytes that actually arrive, so a length the daemon announces but never
// sends costs no more memory than what came.
char *read_body(lumo_conn *conn, std::uint32_t length) {
    constexpr std::uint32_t kFirstBlock = 1u << 20;
    std::uint32_t capacity = length < kFirstBlock ? length : kFirstBlock;
    auto *body = static_cast<char *>(lumo_malloc(std::size_t{capacity} + 1));
    std::uint32_t done = 0;
    while (body != nullptr) {
        if (!lumo_conn_read(conn, body + done, capacity - done)) break;
        done = capacity;
        if (done == length) {
            body[length] = '\0';
            return body;
        }
        capacity = length - capacity < capacity ? length : capacity * 2;
        auto *grown = static_cast<char *>(lumo_realloc(body, std::size_t{capacity} + 1));
        if (grown == nullptr) break;
        body = grown;
    }
    lumo_free(body);
    return nullptr;
}

bool read_tail(lumo_conn *conn, lumo_notification *n) {
    const char *value = header_value(conn, wire::kContentLength);
    if (value == nullptr) return false;
    std::int32_t body_length = lumo_wire_atoi(value);
    value = header_value(conn, wire::kAddrListLength);
    if (value == nullptr) return false;
    std::int32_t addr_length = lumo_wire_atoi(value);
    if (!lumo_conn_skip(conn, static_cast<std::uint32_t>(wire::kLineEnd.size()))) return false;

    if (body_length > 0) {
        char *body = read_body(conn, static_cast<std::uint32_t>(body_length));
        if (body == nullptr) return false;
        n->body = body;
        n->bodyLength = body_length;
    }
    // No address list is used; it is consumed only to keep the stream in
    // step, without ever holding it whole.
    if (addr_length > 0 && !lumo_conn_skip(conn, static_cast<std::uint32_t>(addr_length)))
        return false;
    return true;
}

bool read_event(lumo_conn *conn, lumo_notification *n, std::int32_t **ids, std::int32_t *idCount) {
    const char *value = header_value(conn, wire::kClassName);
    if (value == nullptr) return false;
    n->notificationClass = class_of(value);
    if (!read_ids(conn, ids, idCount) || !read_text(conn, wire::kEventType, n->type) ||
        !read_text(conn, wire::kEventId, n->id))
        return false;
    if ((value = header_value(conn, wire::kCreationTime)) == nullptr) return false;
    n->creationTime = lumo_wire_extract_number(value);
    if ((value = header_value(conn, wire::kDeliveryTime)) == nullptr) return false;
    n->deliveryTime = lumo_wire_extract_number(value);

    if (n->notificationClass == kUnknownNotificationClass) {
        lumo_log("Notification Read Error: unknown class of notification\n");
        return false;
    }
    if (lumo_class_is_full_form(n->notificationClass) && !read_full_form(conn, n)) return false;
    return read_tail(conn, n);
}

}  // namespace

std::int32_t lumo_wire_atoi(const char *text) noexcept {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

std::int64_t lumo_wire_extract_number(const char *text) noexcept {
    const char *digits = text;
    while (*digits != '\0' && !std::isdigit(static_cast<unsigned char>(*digits))) ++digits;
    if (*digits == '\0') return 0;
    bool negative = digits > text && digits[-1] == '-';
    std::uint64_t magnitude = 0;
    constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(INT64_MAX);
    for (; std::isdigit(static_cast<unsigned char>(*digits)); ++digits) {
        unsigned digit = static_cast<unsigned>(*digits - '0');
        magnitude = magnitude > (kLimit - digit) / 10 ? kLimit : magnitude * 10 + digit;
    }
    std::int64_t value = static_cast<std::int64_t>(magnitude);
    return negative ? -value : value;
}

lumo_notification *lumo_event_read(lumo_conn *conn, std::int32_t **ids,
                                   std::int32_t *idCount) noexcept {
    *ids = nullptr;
    *idCount = 0;
    lumo_notification *n = lumo_notification_alloc();
    if (n == nullptr) return nullptr;
    if (!read_event(conn, n, ids, idCount)) {
        lumo_notification_destroy(n);
        return nullptr;
    }
    return n;
}

}  // namespace vavevar
