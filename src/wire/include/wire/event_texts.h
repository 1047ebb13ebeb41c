// The texts of an event message, for the library's writer and reader and for
// the daemon alike.
//
// Outbound ("POST /event", client to daemon) and inbound (daemon to client)
// do not carry the same headers: the daemon adds the two time headers, and the
// library's inbound reader relies on fixed header name lengths rather than on
// the names. Header names carry their ": ", since that reader skips each by
// its length without reading it; the order of the inbound headers is the
// order below.
#pragma once

#include <cstddef>
#include <string_view>

#include "wire/framing.h"

namespace vavevar::wire {

inline constexpr std::string_view kEventLine = "POST /event HTTP/1.1\r\n";

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

inline constexpr std::string_view kTrue = "true";
inline constexpr std::string_view kFalse = "false";

}  // namespace vavevar::wire
