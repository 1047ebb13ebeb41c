// The NATS subjects a cluster's daemons use. Every subject starts with the
// cluster's name, so that several clusters can share one NATS. Events go to
//
//   <cluster>.ev.all.<type tokens>             every node
//   <cluster>.ev.to.<node token>.<type tokens> one node named in affectedNodes
//
// where the type tokens are the event type's first segments (split at '/'),
// each encoded as one NATS token. docs/cluster.md gives the scheme and the
// control subjects.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vavevard::cluster {

// Segments of a type beyond this many share the last token's place: they are
// left out of the subject (the event itself carries its whole type).
inline constexpr std::size_t kMaxTypeTokens = 8;
// An encoded segment longer than this is replaced by '#' and its hash, so a
// subject stays far below the server's control-line bound.
inline constexpr std::size_t kMaxTokenBytes = 64;

// One NATS token for `text`: letters, digits, '-' and '_' stand as they are,
// every other byte (the separators '.', the wildcards '*' and '>', blanks,
// '%', '#' and all non-ASCII bytes) becomes "%XX"; an empty text is "%". The
// encoding is one-to-one as long as the result is no longer than
// kMaxTokenBytes; longer ones become "#" and 16 hex digits of a hash.
std::string encode_token(std::string_view text);

// The tokens of an event type, at most kMaxTypeTokens.
std::string type_tokens(std::string_view type);

// The subjects an event goes to: one to all nodes without `affectedNodes`,
// else one per node named there (commas, semicolons and blanks separate
// them), `self` left out since local subscribers have it already.
std::vector<std::string> event_subjects(std::string_view cluster, std::string_view type,
                                        std::string_view affectedNodes, std::string_view self);

// The nodes an affectedNodes text names, each once, in order.
std::vector<std::string> affected_nodes(std::string_view affectedNodes);

// What a node subscribes to for events: everything to all nodes and to itself.
std::vector<std::string> event_interest(std::string_view cluster, std::string_view self);

// Control subjects: the node-name check, heartbeats, goodbyes, member
// snapshots and the requests for them.
std::string node_check_subject(std::string_view cluster, std::string_view node);
std::string heartbeat_subject(std::string_view cluster);
std::string goodbye_subject(std::string_view cluster);
std::string members_subject(std::string_view cluster);
std::string members_wanted_subject(std::string_view cluster, std::string_view node);

// Whether `name` may name a cluster: one token of letters, digits, '-', '_'.
bool valid_cluster_name(std::string_view name);
// Whether `name` may name a node: 1 to 255 printable ASCII bytes, no blank.
bool valid_node_name(std::string_view name);

}  // namespace vavevard::cluster
