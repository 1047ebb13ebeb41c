// The members other nodes have, as their snapshots tell. A node publishes
// the whole list of its own members (numbered, per start) whenever it
// changes, on request, and when it joins; a receiver replaces what it knew of
// that node and turns the difference into joins and leaves for its local
// groups. Whole lists rather than single changes, so that a lost message
// (NATS delivers at most once) heals with the next one: heartbeats carry the
// latest number, and a receiver behind asks again.
//
// Remote members stand in the local groups under client ids of their own,
// from kFirstRemoteClient on, one per (node, client) pair, so they never
// clash with local connections and are never sent anything here.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "client_id.h"
#include "notification.h"

namespace vavevard::cluster {

inline constexpr ClientId kFirstRemoteClient = ClientId{1} << 62;

struct RemoteMember {
    std::string group;
    std::uint64_t client = 0;   // the client id on its node
    std::int32_t subscriberId = 0;
    std::string component;
    std::string selfId;
    std::int64_t joinedMs = 0;
    std::vector<Property> properties;
};

struct MemberSnapshot {
    std::string node;
    std::string instance;   // the sending daemon's, per start
    std::uint64_t seq = 0;
    std::vector<RemoteMember> members;
    // Members that left since the snapshot before, and why.
    std::vector<std::tuple<std::uint64_t, std::int32_t, std::string>> left;
};

std::string encode_snapshot(const MemberSnapshot &s);
bool decode_snapshot(std::string_view payload, MemberSnapshot &s);

// A change a snapshot makes to the local groups.
struct MemberChange {
    bool join = false;
    ClientId localClient = 0;   // the stand-in client id
    std::string node;
    RemoteMember member;
    std::string reason;         // of a leave
};

class RemoteMembers {
public:
    // What `s` changes for its node. A snapshot older than the one applied
    // (same instance, lower or equal number) changes nothing. A new instance
    // of a node (restarted) replaces everything known of it.
    std::vector<MemberChange> apply(const MemberSnapshot &s);
    // Every member of `node` leaving, with `reason`; the node is forgotten.
    std::vector<MemberChange> drop_node(const std::string &node, std::string_view reason);

    // The number of the last snapshot applied for `node` and `instance`; 0
    // when none (or from another instance).
    std::uint64_t seq(const std::string &node, const std::string &instance) const;
    std::size_t members(const std::string &node) const;
    std::size_t size() const;

private:
    using Key = std::pair<std::uint64_t, std::int32_t>;  // client, subscriber on its node
    struct Node {
        std::string instance;
        std::uint64_t seq = 0;
        std::map<Key, RemoteMember> members;
        std::map<std::uint64_t, ClientId> stand_ins;
    };
    ClientId stand_in(Node &n, std::uint64_t client);

    std::map<std::string, Node> nodes_;
    ClientId next_ = kFirstRemoteClient;
};

}  // namespace vavevard::cluster
