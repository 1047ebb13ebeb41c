#include "remote_members.h"

#include <charconv>

namespace vavevard::cluster {
namespace {

constexpr std::string_view kMagic = "VVM1\n";

// Every field is "<length>:<bytes>", so no byte of a value needs escaping.
void field(std::string &out, std::string_view value) {
    out.append(std::to_string(value.size())).push_back(':');
    out.append(value);
}

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}
    bool text(std::string &out) {
        std::size_t colon = in_.find(':');
        std::size_t n = 0;
        if (colon == std::string_view::npos) return false;
        auto [end, ec] = std::from_chars(in_.data(), in_.data() + colon, n);
        if (ec != std::errc() || end != in_.data() + colon || n > in_.size() - colon - 1) return false;
        out.assign(in_.substr(colon + 1, n));
        in_.remove_prefix(colon + 1 + n);
        return true;
    }
    template <typename N>
    bool number(N &out) {
        std::string t;
        if (!text(t)) return false;
        auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
        return ec == std::errc() && end == t.data() + t.size();
    }
    bool done() const { return in_.empty(); }

private:
    std::string_view in_;
};

}  // namespace

std::string encode_snapshot(const MemberSnapshot &s) {
    std::string out(kMagic);
    field(out, s.node);
    field(out, s.instance);
    field(out, std::to_string(s.seq));
    field(out, std::to_string(s.members.size()));
    for (const RemoteMember &m : s.members) {
        field(out, m.group);
        field(out, std::to_string(m.client));
        field(out, std::to_string(m.subscriberId));
        field(out, m.component);
        field(out, m.selfId);
        field(out, std::to_string(m.joinedMs));
        field(out, std::to_string(m.properties.size()));
        for (const Property &p : m.properties) field(out, p.line);
    }
    field(out, std::to_string(s.left.size()));
    for (const auto &[client, subscriber, reason] : s.left) {
        field(out, std::to_string(client));
        field(out, std::to_string(subscriber));
        field(out, reason);
    }
    return out;
}

bool decode_snapshot(std::string_view payload, MemberSnapshot &s) {
    if (!payload.starts_with(kMagic)) return false;
    Reader r(payload.substr(kMagic.size()));
    std::size_t count = 0;
    s = MemberSnapshot{};
    if (!r.text(s.node) || !r.text(s.instance) || !r.number(s.seq) || !r.number(count)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        RemoteMember m;
        std::size_t properties = 0;
        if (!r.text(m.group) || !r.number(m.client) || !r.number(m.subscriberId) || !r.text(m.component) ||
            !r.text(m.selfId) || !r.number(m.joinedMs) || !r.number(properties))
            return false;
        for (std::size_t p = 0; p < properties; ++p) {
            Property property;
            if (!r.text(property.line)) return false;
            m.properties.push_back(std::move(property));
        }
        s.members.push_back(std::move(m));
    }
    if (!r.number(count)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t client = 0;
        std::int32_t subscriber = 0;
        std::string reason;
        if (!r.number(client) || !r.number(subscriber) || !r.text(reason)) return false;
        s.left.emplace_back(client, subscriber, std::move(reason));
    }
    return r.done();
}

ClientId RemoteMembers::stand_in(Node &n, std::uint64_t client) {
    auto [it, added] = n.stand_ins.try_emplace(client, next_);
    if (added) ++next_;
    return it->second;
}

std::vector<MemberChange> RemoteMembers::apply(const MemberSnapshot &s) {
    std::vector<MemberChange> changes;
    auto found = nodes_.find(s.node);
    if (found != nodes_.end() && found->second.instance == s.instance && s.seq <= found->second.seq)
        return changes;
    if (found != nodes_.end() && found->second.instance != s.instance) changes = drop_node(s.node, "node restarted");
    Node &n = nodes_[s.node];
    bool next = n.instance == s.instance && s.seq == n.seq + 1;
    n.instance = s.instance;
    n.seq = s.seq;
    std::map<Key, RemoteMember> fresh;
    for (const RemoteMember &m : s.members) fresh[{m.client, m.subscriberId}] = m;
    for (auto it = n.members.begin(); it != n.members.end();) {
        auto now = fresh.find(it->first);
        if (now != fresh.end() && now->second.group == it->second.group) {
            ++it;
            continue;
        }
        std::string reason = "left";
        if (next)
            for (const auto &[client, subscriber, why] : s.left)
                if (client == it->first.first && subscriber == it->first.second) reason = why;
        changes.push_back({false, stand_in(n, it->first.first), s.node, std::move(it->second), reason});
        it = n.members.erase(it);
    }
    // Joins in the order the node lists them, which is its join order.
    for (const RemoteMember &m : s.members) {
        Key key{m.client, m.subscriberId};
        if (n.members.count(key) != 0) continue;
        n.members[key] = m;
        changes.push_back({true, stand_in(n, m.client), s.node, m, {}});
    }
    return changes;
}

std::vector<MemberChange> RemoteMembers::drop_node(const std::string &node, std::string_view reason) {
    std::vector<MemberChange> changes;
    auto found = nodes_.find(node);
    if (found == nodes_.end()) return changes;
    Node &n = found->second;
    for (auto &[key, m] : n.members)
        changes.push_back({false, stand_in(n, key.first), node, std::move(m), std::string(reason)});
    nodes_.erase(found);
    return changes;
}

std::uint64_t RemoteMembers::seq(const std::string &node, const std::string &instance) const {
    auto found = nodes_.find(node);
    return found == nodes_.end() || found->second.instance != instance ? 0 : found->second.seq;
}

std::size_t RemoteMembers::members(const std::string &node) const {
    auto found = nodes_.find(node);
    return found == nodes_.end() ? 0 : found->second.members.size();
}

std::size_t RemoteMembers::size() const {
    std::size_t n = 0;
    for (const auto &[name, node] : nodes_) n += node.members.size();
    return n;
}

}  // namespace vavevard::cluster
