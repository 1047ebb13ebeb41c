// Notification classes and their names on the wire (the className header).
//
// Classes 0 to 7 are the routable ones; 8 stands for a class nobody knows,
// and whatever lies outside 0..8 is shown and written as 8.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

namespace vavevar::wire {

enum NotificationClass : std::int32_t {
    kMessageNotification = 0,
    kMembershipListNotification = 1,
    kMembershipDeltaNotification = 2,
    kOutgoingStreamingNotification = 3,
    kIncomingStreamingNotification = 4,
    kStateGetNotification = 5,
    kStateSetNotification = 6,
    kLeaveGroupNotification = 7,
    kUnknownNotificationClass = 8,
};

// Classes 0 .. kClassCount-1 are the ones a reader accepts.
inline constexpr std::int32_t kClassCount = kUnknownNotificationClass;

// Each name ends with a NUL, so that data() serves as a C text.
inline constexpr std::string_view kClassNames[] = {
    "MessageNotification",         "MembershipListNotification",
    "MembershipDeltaNotification", "OutgoingStreamingNotification",
    "IncomingStreamingNotification", "StateGetNotification",
    "StateSetNotification",        "LeaveGroupNotification",
    "UnknownNotificationClass",
};
static_assert(std::size(kClassNames) == kClassCount + 1);

// Class as shown and written: anything outside 0..8 counts as 8.
constexpr std::int32_t clamp_class(std::int32_t cls) {
    return cls < 0 || cls > kUnknownNotificationClass ? kUnknownNotificationClass : cls;
}

constexpr std::string_view class_name(std::int32_t cls) { return kClassNames[clamp_class(cls)]; }

// The class 0 to 7 with exactly this name, or nothing (also for the name of
// the unknown class, which a reader refuses).
constexpr std::optional<std::int32_t> class_from_name(std::string_view name) {
    for (std::int32_t cls = 0; cls < kClassCount; ++cls)
        if (kClassNames[cls] == name) return cls;
    return std::nullopt;
}

// Message and streaming notifications carry the full header set on the wire
// and in their text; the other classes only the common headers.
constexpr bool is_full_form(std::int32_t cls) {
    return cls == kMessageNotification || cls == kOutgoingStreamingNotification ||
           cls == kIncomingStreamingNotification;
}

}  // namespace vavevar::wire
