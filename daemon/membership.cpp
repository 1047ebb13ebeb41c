#include "membership.h"

#include <algorithm>
#include <set>
#include <unordered_set>

#include "bodyblock.h"

namespace vavevard {
namespace {

BodySegment group_segment(const std::string &group, std::size_t count) {
    BodySegment s{"group", {}, {}};
    s.element("name", group).element("members", std::to_string(count));
    return s;
}

bool same(const Member &a, const Member &b) {
    return a.client == b.client && a.subscriberId == b.subscriberId;
}

}  // namespace

Membership::Origin Membership::origin(const Member &m) const {
    if (auto it = origins_.find(m.client); it != origins_.end()) return it->second;
    return {localNode_, m.client};
}

std::string Membership::member_id(const Member &m) const {
    Origin o = origin(m);
    std::string id = std::to_string(o.client) + "/" + std::to_string(m.subscriberId);
    return o.node.empty() ? id : o.node + ":" + id;
}

BodySegment Membership::member_segment(const Member &m) const {
    BodySegment s{"member", {}, {}};
    s.element("memberId", member_id(m))
        .element("subscriberId", std::to_string(m.subscriberId))
        .element("component", m.component)
        .element("selfId", m.selfId)
        .element("joined", std::to_string(m.joinedMs));
    if (std::string node = origin(m).node; !node.empty()) s.element("node", node);
    BodySegment &props = s.child("properties");
    for (const Property &p : m.properties) props.element(p.name(), p.value());
    return s;
}

// What member_segment(m) encodes to, counted rather than built.
std::size_t Membership::member_bytes(const Member &m) const {
    std::size_t n = encoded_segment_size("member") +
                    encoded_element_size("memberId", member_id(m)) +
                    encoded_element_size("subscriberId", std::to_string(m.subscriberId)) +
                    encoded_element_size("component", m.component) +
                    encoded_element_size("selfId", m.selfId) +
                    encoded_element_size("joined", std::to_string(m.joinedMs)) +
                    encoded_segment_size("properties");
    if (std::string node = origin(m).node; !node.empty()) n += encoded_element_size("node", node);
    for (const Property &p : m.properties) n += encoded_element_size(p.name(), p.value());
    return n;
}

void Membership::set_origin(ClientId standIn, std::string node, std::uint64_t client) {
    origins_[standIn] = {std::move(node), client};
}

// A stand-in with no member left needs no origin.
void Membership::forget_origin(ClientId client) {
    if (origins_.empty()) return;
    auto it = where_.lower_bound({client, INT32_MIN});
    if (it == where_.end() || it->first.first != client) origins_.erase(client);
}

std::vector<Property> last_of_each_name(std::vector<Property> properties) {
    std::unordered_set<std::string_view> seen;
    std::vector<bool> keep(properties.size());
    for (std::size_t i = properties.size(); i-- > 0;) keep[i] = seen.insert(properties[i].name()).second;
    if (seen.size() == properties.size()) return properties;
    std::vector<Property> kept;
    kept.reserve(seen.size());
    for (std::size_t i = 0; i < properties.size(); ++i)
        if (keep[i]) kept.push_back(std::move(properties[i]));
    return kept;
}

Notification Membership::notice(std::int32_t cls, std::string_view type, std::string body) {
    Notification e;
    e.cls = cls;
    e.type = type;
    e.id = "vavevard-membership-" + std::to_string(++sequence_);
    e.body = std::move(body);
    return e;
}

MembershipNotice Membership::delta(const std::string &group, std::size_t count,
                                   std::string_view kind, std::string_view reason,
                                   const Member &changed, const std::vector<Member> &tell) {
    MembershipNotice n;
    for (const Member &m : tell)
        if (m.deltas && !same(m, changed)) n.recipients.emplace_back(m.client, m.subscriberId);
    if (n.recipients.empty()) return n;
    BodySegment change{"change", {}, {}};
    change.element("kind", kind).element("reason", reason);
    n.event = notice(kMembershipDeltaNotification, kMembershipDeltaType,
                     encode_body_block({group_segment(group, count), change, member_segment(changed)}));
    return n;
}

std::size_t Membership::list_bytes(const std::string &group, const Member &member) const {
    std::size_t members = 1;
    std::size_t n = encoded_signature_size() + member_bytes(member);
    if (auto it = groups_.find(group); it != groups_.end()) {
        for (const Member &m : it->second) {
            if (same(m, member)) continue;
            n += member_bytes(m);
            ++members;
        }
    }
    return n + encoded_segment_size("group") + encoded_element_size("name", group) +
           encoded_element_size("members", std::to_string(members));
}

std::vector<MembershipNotice> Membership::join(const std::string &group, Member member, bool listForJoiner) {
    std::vector<MembershipNotice> out;
    // The member is in both maps or in neither, whatever fails: what can
    // throw comes first, the moves that cannot come after.
    auto [slot, created] = groups_.try_emplace(group);
    auto &members = slot->second;
    try {
        members.reserve(members.size() + 1);
        where_[{member.client, member.subscriberId}] = group;
    } catch (...) {
        if (created) groups_.erase(slot);
        throw;
    }
    members.push_back(std::move(member));
    const Member &joined = members.back();

    if (listForJoiner) {
        std::vector<BodySegment> list{group_segment(group, members.size())};
        for (const Member &m : members) list.push_back(member_segment(m));
        out.push_back({notice(kMembershipListNotification, kMembershipListType, encode_body_block(list)),
                       {{joined.client, joined.subscriberId}}});
    }
    MembershipNotice d = delta(group, members.size(), "join", "joined", joined, members);
    if (!d.recipients.empty()) out.push_back(std::move(d));
    return out;
}

template <typename Pred>
void Membership::remove_if(const std::string &group, Pred gone, std::string_view reason,
                           std::vector<MembershipNotice> &out) {
    auto it = groups_.find(group);
    if (it == groups_.end()) return;
    auto &members = it->second;
    auto split = std::stable_partition(members.begin(), members.end(),
                                       [&](const Member &m) { return !gone(m); });
    std::vector<Member> left(std::make_move_iterator(split), std::make_move_iterator(members.end()));
    members.erase(split, members.end());
    // Each leaver is told to the members that stay, with the count as it
    // was right after that one left.
    std::size_t count = members.size() + left.size();
    for (const Member &m : left) {
        where_.erase({m.client, m.subscriberId});
        MembershipNotice d = delta(group, --count, "leave", reason, m, members);
        if (!d.recipients.empty()) out.push_back(std::move(d));
    }
    if (members.empty()) groups_.erase(it);
}

std::vector<MembershipNotice> Membership::leave(ClientId client, std::int32_t subscriberId,
                                                std::string_view reason) {
    std::vector<MembershipNotice> out;
    auto where = where_.find({client, subscriberId});
    if (where == where_.end()) return out;
    std::string group = where->second;
    remove_if(group, [&](const Member &m) { return m.client == client && m.subscriberId == subscriberId; },
              reason, out);
    forget_origin(client);
    return out;
}

std::vector<MembershipNotice> Membership::leave_client(ClientId client, std::string_view reason) {
    std::vector<MembershipNotice> out;
    std::set<std::string> groups;
    for (auto it = where_.lower_bound({client, INT32_MIN});
         it != where_.end() && it->first.first == client; ++it)
        groups.insert(it->second);
    for (const std::string &group : groups)
        remove_if(group, [client](const Member &m) { return m.client == client; }, reason, out);
    return out;
}

void Membership::forget_client(ClientId client) noexcept {
    auto first = where_.lower_bound({client, INT32_MIN});
    auto last = first;
    for (; last != where_.end() && last->first.first == client; ++last) {
        auto group = groups_.find(last->second);
        if (group == groups_.end()) continue;
        auto &members = group->second;
        members.erase(std::remove_if(members.begin(), members.end(),
                                     [client](const Member &m) { return m.client == client; }),
                      members.end());
        if (members.empty()) groups_.erase(group);
    }
    where_.erase(first, last);
}

std::vector<Member> Membership::members(const std::string &group) const {
    auto it = groups_.find(group);
    return it == groups_.end() ? std::vector<Member>{} : it->second;
}

}  // namespace vavevard
