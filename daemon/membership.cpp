#include "membership.h"

#include "bodyblock.h"

namespace vavevard {
namespace {

BodySegment group_segment(const std::string &group, std::size_t count) {
    BodySegment s{"group", {}, {}};
    s.element("name", group).element("members", std::to_string(count));
    return s;
}

BodySegment member_segment(const Member &m) {
    BodySegment s{"member", {}, {}};
    s.element("memberId", std::to_string(m.client) + "/" + std::to_string(m.subscriberId))
        .element("subscriberId", std::to_string(m.subscriberId))
        .element("component", m.component)
        .element("selfId", m.selfId)
        .element("joined", std::to_string(m.joinedMs));
    BodySegment &props = s.child("properties");
    for (const Property &p : m.properties) props.element(p.name(), p.value());
    return s;
}

std::string delta_body(const std::string &group, std::size_t count, std::string_view kind,
                       std::string_view reason, const Member &m) {
    std::vector<BodySegment> segments{group_segment(group, count)};
    BodySegment change{"change", {}, {}};
    change.element("kind", kind).element("reason", reason);
    segments.push_back(std::move(change));
    segments.push_back(member_segment(m));
    return encode_body_block(segments);
}

}  // namespace

Event Membership::notice(std::int32_t cls, std::string_view type, std::string body) {
    Event e;
    e.cls = cls;
    e.type = type;
    e.id = "vavevard-membership-" + std::to_string(++sequence_);
    e.body = std::move(body);
    return e;
}

std::vector<MembershipNotice> Membership::join(const std::string &group, Member member) {
    std::vector<MembershipNotice> out;
    auto &members = groups_[group];
    where_[{member.client, member.subscriberId}] = group;
    members.push_back(member);

    std::vector<BodySegment> list{group_segment(group, members.size())};
    for (const Member &m : members) list.push_back(member_segment(m));
    out.push_back({member.client, member.subscriberId,
                   notice(kMembershipListNotification, kMembershipListType, encode_body_block(list))});

    std::string body = delta_body(group, members.size(), "join", "joined", member);
    for (const Member &m : members) {
        if (!m.deltas || (m.client == member.client && m.subscriberId == member.subscriberId))
            continue;
        out.push_back({m.client, m.subscriberId, notice(kMembershipDeltaNotification, kMembershipDeltaType, body)});
    }
    return out;
}

void Membership::remove(const std::string &group, std::size_t index, std::string_view reason,
                        std::vector<MembershipNotice> &out) {
    auto it = groups_.find(group);
    auto &members = it->second;
    Member gone = std::move(members[index]);
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(index));
    where_.erase({gone.client, gone.subscriberId});
    std::string body = delta_body(group, members.size(), "leave", reason, gone);
    for (const Member &m : members)
        if (m.deltas)
            out.push_back({m.client, m.subscriberId, notice(kMembershipDeltaNotification, kMembershipDeltaType, body)});
    if (members.empty()) groups_.erase(it);
}

std::vector<MembershipNotice> Membership::leave(ClientId client, std::int32_t subscriberId,
                                                std::string_view reason) {
    std::vector<MembershipNotice> out;
    auto where = where_.find({client, subscriberId});
    if (where == where_.end()) return out;
    std::string group = where->second;
    const auto &members = groups_[group];
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (members[i].client == client && members[i].subscriberId == subscriberId) {
            remove(group, i, reason, out);
            break;
        }
    }
    return out;
}

std::vector<MembershipNotice> Membership::leave_client(ClientId client, std::string_view reason) {
    std::vector<MembershipNotice> out;
    std::vector<std::int32_t> ids;
    for (auto it = where_.lower_bound({client, INT32_MIN});
         it != where_.end() && it->first.first == client; ++it)
        ids.push_back(it->first.second);
    for (std::int32_t id : ids) {
        auto more = leave(client, id, reason);
        for (auto &n : more) out.push_back(std::move(n));
    }
    return out;
}

std::vector<Member> Membership::members(const std::string &group) const {
    auto it = groups_.find(group);
    return it == groups_.end() ? std::vector<Member>{} : it->second;
}

}  // namespace vavevard
