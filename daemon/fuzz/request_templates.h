// Whole requests as a client's library writes them, with their fields chosen
// by the fuzz input. Starting from valid requests lets the server target reach
// subscriptions, routing, membership and back-pressure within a few bytes of
// input instead of waiting for the fuzzer to spell out the protocol.
//
// A text field is one byte: below the size of its table it picks an entry,
// otherwise it is followed by (byte - table size) bytes of text taken as they
// are, line breaks included, so a field can also break the request around it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "fuzz_input.h"

namespace vavevard::fuzz {

using Table = std::span<const std::string_view>;

inline constexpr std::array<std::string_view, 16> kFilters = {
    "null",
    "",
    "ALARM/*",
    "ALARM/* and prop.severity >= 3",
    "(ALARM/* or WARNING/*) and not component = test-*",
    "class = IncomingStreamingNotification and type = BACKUP/*",
    "affectedNodes = \"db-?\" || prop.\"owner team\" = storage",
    "prop.ticket and node != build*",
    "class = MembershipDeltaNotification or class = MembershipListNotification",
    "class < 3",
    "*",
    "type = A/B",
    "prop.load < 0.5 AND NOT prop.severity",
    "(ALARM/*",
    "colour = red",
    "prop.x >= high",
};
inline constexpr std::array<std::string_view, 7> kTypes = {
    "ALARM/DISK/FULL", "WARNING/CPU", "BACKUP/NIGHTLY", "A/B", "test-x", "", "IXO/SYSTEM/MEMBERSHIPLIST",
};
inline constexpr std::array<std::string_view, 4> kComponents = {"", "c", "test-unit", "storage"};
inline constexpr std::array<std::string_view, 4> kGroups = {"null", "", "g1", "g2"};
inline constexpr std::array<std::string_view, 6> kProperties = {
    "severity: 3", "severity: 1", "owner team: storage", "ticket: 42", "load: 0.25", "role: main",
};
inline constexpr std::array<std::string_view, 2> kSelfIds = {"Pid=1; Home=/h", "Pid=2; Home=/tmp/x"};
// The form factor is a file's content: one line, several with an empty one
// among them (the request's headers do not end there), or nothing.
inline constexpr std::array<std::string_view, 3> kFormFactors = {"desktop", "a\r\n\r\nb", ""};

// The class byte of an event picks one of the eight classes, or (any larger
// value) a name that no class has.
inline constexpr std::string_view kUnknownClassName = "NoSuchNotification";

std::string_view text_field(FuzzInput &in, Table table);

// Fields, in input order: form factor, self id.
std::string connect_request(FuzzInput &in);
// Fields: subscriber id (signed byte), filter, component, membership
// interest, a byte (bit 0: deltas, bits 1-2: property count), properties.
std::string subscribe_request(FuzzInput &in);
// Fields: subscriber id (signed byte).
std::string unsubscribe_request(FuzzInput &in);
// Fields: class (byte, 8 and above: unknown), event type, a byte (bits 0-1:
// property count, bit 2: local only, bit 3: 64 KiB more body), then for the
// classes that carry them the generating component and the properties, then
// body length (u16), body fill byte, address list length (byte). `serial`
// names the event.
std::string event_request(FuzzInput &in, unsigned serial);
std::string stats_request();

}  // namespace vavevard::fuzz
