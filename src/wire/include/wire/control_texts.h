// Control messages: the connect handshake, subscribe and unsubscribe
// requests, and the daemon's status answers.
//
// The library writes the requests and reads the answers, the daemon does the
// opposite; both take the texts from here. Header names carry their ": " as
// the event message's do. The subscriber id and property count headers are
// the event message's own (event_texts.h).
#pragma once

#include <string_view>

#include "wire/framing.h"

namespace vavevar::wire {

inline constexpr std::string_view kConnectLine = "POST /connect HTTP/1.1\r\n";
inline constexpr std::string_view kSubscribeLine = "POST /subscribe HTTP/1.1\r\n";
inline constexpr std::string_view kUnsubscribeLine = "POST /unsubscribe HTTP/1.1\r\n";
inline constexpr std::string_view kStatusLine = "POST /status HTTP/1.1\r\n";
inline constexpr std::string_view kStatsLine = "POST /stats HTTP/1.1\r\n";

// Connect request.
inline constexpr std::string_view kVersion = "Version: ";
inline constexpr std::string_view kFormFactor = "FormFactor: ";
inline constexpr std::string_view kSelfId = "SelfId: ";

// Connect reply and status answers. The client finds the reply's result and
// instance name by their line numbers, not by their names.
inline constexpr std::string_view kResult = "Result: ";
inline constexpr std::string_view kMessage = "Message: ";
inline constexpr std::string_view kSuccess = "success";
inline constexpr std::string_view kFailure = "failure";
inline constexpr int kReplyResultLine = 3;
inline constexpr int kReplyInstanceNameLine = 9;

// Subscribe request.
inline constexpr std::string_view kSubscription = "Subscription: ";
inline constexpr std::string_view kComponent = "Component: ";
inline constexpr std::string_view kMbrInterest = "MbrInterest: ";
inline constexpr std::string_view kMbrDeltas = "MbrDeltas: ";
// What a subscribe request states for a subscription or interest it lacks.
inline constexpr std::string_view kNull = "null";

}  // namespace vavevar::wire
