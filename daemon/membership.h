// Membership groups. A subscriber that names a group in its membership
// interest joins it; on joining it is sent the list of members, and members
// that asked for deltas are told of every later join and leave. The bodies are
// body blocks; docs/daemon.md gives their layout.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bodyblock.h"
#include "client_id.h"
#include "notification.h"

namespace vavevard {

struct Member {
    ClientId client = 0;
    std::int32_t subscriberId = 0;
    std::string component;
    std::string selfId;
    std::vector<Property> properties;
    bool deltas = false;
    std::int64_t joinedMs = 0;
};

// A membership notification and the subscribers it goes to. A delta is one
// event for all the members told of a change, so its body is built once and
// shared however large the group. The event carries class, type, identifier
// and body; the router stamps the times.
struct MembershipNotice {
    Notification event;
    std::vector<std::pair<ClientId, std::int32_t>> recipients;
};

// A member's properties as a reader of its body block sees them: a later
// element of a name replaces an earlier one there, so only the last property
// of each name is kept, in the order of those last ones.
std::vector<Property> last_of_each_name(std::vector<Property> properties);

inline constexpr std::string_view kMembershipListType = "IXO/SYSTEM/MEMBERSHIPLIST";
inline constexpr std::string_view kMembershipDeltaType = "IXO/SYSTEM/MEMBERSHIPDELTA";

class Membership {
public:
    // Adds `member` to `group`. Returns the list for the new member first, then
    // one delta per other member that asked for deltas, in join order.
    // A member of another node is sent nothing (`listForJoiner` false).
    std::vector<MembershipNotice> join(const std::string &group, Member member, bool listForJoiner = true);

    // Removes one subscriber from its group, if it is in one; `reason` goes
    // into the deltas ("unsubscribed", "disconnected", "resubscribed").
    std::vector<MembershipNotice> leave(ClientId client, std::int32_t subscriberId,
                                        std::string_view reason);

    // Removes every subscriber of a connection, one pass over each of its
    // groups whatever the number of its subscribers there.
    std::vector<MembershipNotice> leave_client(ClientId client, std::string_view reason);

    // Removes every subscriber of a connection without telling anyone and
    // without allocating: what is left when there is no memory to tell.
    void forget_client(ClientId client) noexcept;

    // The size of the encoded member list that `member` would be sent on
    // joining `group` (taking the place of its own earlier entry, if any),
    // computed without building it.
    std::size_t list_bytes(const std::string &group, const Member &member) const;

    std::size_t group_count() const noexcept { return groups_.size(); }
    std::size_t member_count() const noexcept { return where_.size(); }
    // The members of `group` in join order; empty for an unknown group.
    std::vector<Member> members(const std::string &group) const;
    // In a cluster, every member's entry names its node ("node", and the
    // memberId's prefix "<node>:"): this node's own for local members, and
    // for a member of another node, standing in here under client id
    // `standIn`, that node and its client id there. Without a node set,
    // entries are as a daemon alone writes them.
    void set_local_node(std::string node) { localNode_ = std::move(node); }
    void set_origin(ClientId standIn, std::string node, std::uint64_t client);

    // Every group and its members, in join order.
    const std::map<std::string, std::vector<Member>> &groups() const noexcept { return groups_; }

private:
    struct Origin {
        std::string node;
        std::uint64_t client = 0;
    };
    Origin origin(const Member &m) const;
    std::string member_id(const Member &m) const;
    BodySegment member_segment(const Member &m) const;
    std::size_t member_bytes(const Member &m) const;
    void forget_origin(ClientId client);

    Notification notice(std::int32_t cls, std::string_view type, std::string body);
    MembershipNotice delta(const std::string &group, std::size_t count, std::string_view kind,
                           std::string_view reason, const Member &changed,
                           const std::vector<Member> &tell);
    // Takes the members matching `gone` out of `group`, telling the rest.
    template <typename Pred>
    void remove_if(const std::string &group, Pred gone, std::string_view reason,
                   std::vector<MembershipNotice> &out);

    std::map<std::string, std::vector<Member>> groups_;
    std::map<std::pair<ClientId, std::int32_t>, std::string> where_;
    std::uint64_t sequence_ = 0;
    std::string localNode_;
    std::map<ClientId, Origin> origins_;  // stand-ins for other nodes' clients
};

}  // namespace vavevard
