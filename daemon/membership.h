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

#include "event.h"

namespace vavevard {

using ClientId = std::uint64_t;

struct Member {
    ClientId client = 0;
    std::int32_t subscriberId = 0;
    std::string component;
    std::string selfId;
    std::vector<Property> properties;
    bool deltas = false;
    std::int64_t joinedMs = 0;
};

// A membership notification for one subscriber. The event carries class,
// type, identifier and body; the router stamps the times.
struct MembershipNotice {
    ClientId client = 0;
    std::int32_t subscriberId = 0;
    Event event;
};

inline constexpr std::string_view kMembershipListType = "IXO/SYSTEM/MEMBERSHIPLIST";
inline constexpr std::string_view kMembershipDeltaType = "IXO/SYSTEM/MEMBERSHIPDELTA";

class Membership {
public:
    // Adds `member` to `group`. Returns the list for the new member first, then
    // one delta per other member that asked for deltas, in join order.
    std::vector<MembershipNotice> join(const std::string &group, Member member);

    // Removes one subscriber from its group, if it is in one; `reason` goes
    // into the deltas ("unsubscribed", "disconnected", "resubscribed").
    std::vector<MembershipNotice> leave(ClientId client, std::int32_t subscriberId,
                                        std::string_view reason);

    // Removes every subscriber of a connection.
    std::vector<MembershipNotice> leave_client(ClientId client, std::string_view reason);

    std::size_t group_count() const noexcept { return groups_.size(); }
    std::size_t member_count() const noexcept { return where_.size(); }
    // The members of `group` in join order; empty for an unknown group.
    std::vector<Member> members(const std::string &group) const;

private:
    Event notice(std::int32_t cls, std::string_view type, std::string body);
    void remove(const std::string &group, std::size_t index, std::string_view reason,
                std::vector<MembershipNotice> &out);

    std::map<std::string, std::vector<Member>> groups_;
    std::map<std::pair<ClientId, std::int32_t>, std::string> where_;
    std::uint64_t sequence_ = 0;
};

}  // namespace vavevard
