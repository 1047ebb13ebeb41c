// How an event travels between daemons: one line naming the node it comes
// from and when its daemon received it, then the event message exactly as
// that daemon's local subscribers got it (subscriber 0). So every field
// (generating node, process, identifiers, properties, body) arrives as the
// publisher sent it, and the receiving daemon reads it with its own request
// parser.
//
//   VVE1 <node> <creation ms>\n
//   POST /event HTTP/1.1\r\n ... \r\n\r\n<body>
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "notification.h"

namespace vavevard::cluster {

// The carrier for `event` from `node`; `instanceName` stands in for an
// event that names none, as for local subscribers.
std::string encode_event(std::string_view node, const Notification &event, std::string_view instanceName);

// The node an envelope names, without reading the rest; empty when it is
// not one.
std::string_view envelope_node(std::string_view payload);

// Reads an envelope back into `event` (its creation time included); false
// with `why` set when it is not a well-formed event of a known class.
bool decode_event(std::string_view payload, Notification &event, std::string &why);

}  // namespace vavevard::cluster
