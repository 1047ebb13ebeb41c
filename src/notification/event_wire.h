// Event messages: how a notification crosses the daemon connection.
//
// Outbound ("POST /event", client to daemon) and inbound (daemon to client,
// after its "event" message line) do not carry the same headers: the daemon
// adds the two time headers, and the inbound reader relies on fixed header
// name lengths rather than on the names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "notification/notification.h"

struct lumo_conn;

// The texts of an event message, for the library's writer and reader and for
// the daemon alike. Header names carry their ": ", since the inbound reader
// skips each by its length without reading it; the order of the inbound
// headers is the order below.
namespace vavevar::wire {

inline constexpr std::string_view kEventLine = "POST /event HTTP/1.1\r\n";
inline constexpr std::string_view kLineEnd = "\r\n";
inline constexpr std::string_view kPropertySeparator = ": ";  // between a property's name and value

inline constexpr std::string_view kClassName = "className: ";
inline constexpr std::string_view kSubscriberId = "SubscriberID: ";  // inbound: ';'-separated ids
inline constexpr std::string_view kEventType = "eventType: ";
inline constexpr std::string_view kEventId = "eventId: ";
// Inbound only, written by the daemon; the reader knows only their length.
inline constexpr std::string_view kCreationTime = "creationTime: ";
inline constexpr std::string_view kDeliveryTime = "deliveryTime: ";
inline constexpr std::size_t kTimeHeaderLength = 14;
static_assert(kCreationTime.size() == kTimeHeaderLength && kDeliveryTime.size() == kTimeHeaderLength);
// Full-form classes only.
inline constexpr std::string_view kAffectedComponents = "affectedComponents: ";
inline constexpr std::string_view kAffectedNodes = "affectedNodes: ";
inline constexpr std::string_view kGeneratingComponent = "generatingComponent: ";
inline constexpr std::string_view kGeneratingProcess = "generatingProcess: ";
inline constexpr std::string_view kGeneratingNode = "generatingNode: ";
inline constexpr std::string_view kInstanceName = "instanceName: ";
inline constexpr std::string_view kLocalOnly = "LocalOnly: ";
inline constexpr std::string_view kNumberOfProperties = "numberOfProperties: ";
inline constexpr std::string_view kStreamKey = "streamKey: ";  // incoming stream blocks only
// Every class.
inline constexpr std::string_view kContentLength = "Content-Length: ";
inline constexpr std::string_view kAddrListLength = "AddrList-Length: ";

// A header's name alone, as a parser compares it.
constexpr std::string_view name_of(std::string_view header) { return header.substr(0, header.size() - 2); }

}  // namespace vavevar::wire

namespace vavevar {

// Writes `n` as a "POST /event" message, stating `instanceName` (its
// `instanceNameLength` bytes; null writes nothing) in the instanceName line,
// and flushes. Returns -1 for a null notification, 0 when a write or the flush
// failed, 1 when the whole message went to the socket. `n` is not changed.
int lumo_event_write_with_instance(const lumo_notification *n, lumo_conn *conn,
                                   const char *instanceName,
                                   std::size_t instanceNameLength) noexcept;

// Reads one inbound event message. Returns a new notification, or null on any
// failure (everything built so far is released). *ids is set to null first;
// once the identifier line is read it holds a new array of *idCount
// subscriber identifiers, which the caller releases with lumo_free whether or
// not the read succeeded.
lumo_notification *lumo_event_read(lumo_conn *conn, std::int32_t **ids,
                                   std::int32_t *idCount) noexcept;

// Decimal conversion as the daemon's numbers need it: leading white space and
// a sign allowed, stops at the first non-digit, 0 without a number; values
// beyond 32 bits are clamped to the nearest limit.
std::int32_t lumo_wire_atoi(const char *text) noexcept;

// The first run of decimal digits anywhere in `text`, negative when a '-'
// stands right before it, 0 without digits; clamped to 64 bits.
std::int64_t lumo_wire_extract_number(const char *text) noexcept;

}  // namespace vavevar

namespace vavevar {

// As lumo_event_write_with_instance, stating the instance name the daemon
// gave this runtime (nothing when the library is not initialised).
int lumo_event_write(const lumo_notification *n, lumo_conn *conn) noexcept;

}  // namespace vavevar
