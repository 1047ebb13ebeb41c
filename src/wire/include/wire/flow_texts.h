// Flow-control messages, daemon to client.
//
// A gap notice tells a client that the daemon skipped events for one of its
// subscriptions while the client read too slowly; it comes before the first
// event delivered to that client after the skipping ended:
//
//   POST /gap HTTP/1.1
//   SubscriberID: 7
//   skipped: 1234
//   (empty line)
//
// A replayed event is an event the daemon held after it started and hands to
// a subscription made later; its message is an event message in every byte
// but the request line, so the library can drop one it has already
// delivered.
#pragma once

#include <string_view>

#include "wire/framing.h"

namespace vavevar::wire {

inline constexpr std::string_view kGapLine = "POST /gap HTTP/1.1\r\n";
inline constexpr std::string_view kSkipped = "skipped: ";
inline constexpr std::string_view kReplayLine = "POST /replay HTTP/1.1\r\n";
inline constexpr std::string_view kResubscribe = "Resubscribe: ";

}  // namespace vavevar::wire
