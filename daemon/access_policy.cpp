#include "access_policy.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>

namespace vavevard {
namespace {

constexpr std::string_view kAll = "allow-all", kConnect = "allow-connect", kStats = "allow-stats",
                           kPublish = "allow-publish", kSubscribe = "allow-subscribe", kJoin = "allow-join",
                           kUnknown = "allow-unknown-peers";

// The group that may do everything when no policy is written.
constexpr const char *kDefaultGroup = "vavevar";

std::string_view trim(std::string_view s) {
    std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string_view> comma_list(std::string_view text) {
    std::vector<std::string_view> items;
    for (;;) {
        std::size_t comma = text.find(',');
        items.push_back(trim(text.substr(0, comma)));
        if (comma == std::string_view::npos) return items;
        text = text.substr(comma + 1);
    }
}

bool parse_id(std::string_view text, std::uint32_t &out) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (n > 0xfffffffeu) return false;  // (uid_t)-1 names nobody
    out = static_cast<std::uint32_t>(n);
    return true;
}

std::optional<std::uint32_t> user_named(const std::string &name) {
    std::vector<char> buffer(16384);
    passwd entry{}, *found = nullptr;
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return found->pw_uid;
}

std::optional<std::uint32_t> group_named(const std::string &name) {
    std::vector<char> buffer(65536);
    group entry{}, *found = nullptr;
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return found->gr_gid;
}

// "*", "user:NAME", "uid:N", "group:NAME" or "gid:N"; "" or why not.
std::string parse_principal(std::string_view text, Principal &out) {
    if (text == "*") {
        out = {};
        return {};
    }
    std::size_t colon = text.find(':');
    std::string_view kind = text.substr(0, colon);
    std::string name(colon == std::string_view::npos ? std::string_view{} : text.substr(colon + 1));
    if (colon == std::string_view::npos || name.empty() ||
        (kind != "user" && kind != "uid" && kind != "group" && kind != "gid"))
        return "'" + std::string(text) + "' is not one of '*', user:NAME, uid:N, group:NAME, gid:N";
    out.kind = kind == "user" || kind == "uid" ? Principal::Kind::user : Principal::Kind::group;
    if (kind == "uid" || kind == "gid") {
        if (!parse_id(name, out.id)) return "'" + std::string(text) + "': not a number";
        return {};
    }
    auto id = kind == "user" ? user_named(name) : group_named(name);
    if (!id) return "no " + std::string(kind) + " is named '" + name + "'";
    out.id = *id;
    return {};
}

std::string parse_principals(std::string_view text, std::vector<Principal> &out) {
    for (std::string_view item : comma_list(text)) {
        Principal p;
        if (item.empty()) return "an empty name in the list";
        if (std::string why = parse_principal(item, p); !why.empty()) return why;
        out.push_back(p);
    }
    return {};
}

}  // namespace

bool Principal::covers(const PeerIdentity &who) const noexcept {
    switch (kind) {
    case Kind::anyone: return true;
    case Kind::user: return who.uid && *who.uid == id;
    case Kind::group: return std::find(who.groups.begin(), who.groups.end(), id) != who.groups.end();
    }
    return false;
}

Match SubscribeGrant::admits(const NotificationView &event) const noexcept {
    if (unrestricted) return Match::yes;
    Match result = Match::no;
    for (const auto &f : filters) {
        Match m = f->evaluate(event);
        if (m == Match::yes) return m;
        if (m == Match::over_budget) result = m;
    }
    return result;
}

AccessPolicy::AccessPolicy() {
    if (auto gid = group_named(kDefaultGroup)) all_.push_back({Principal::Kind::group, *gid});
}

bool AccessPolicy::is_policy_key(std::string_view key) noexcept {
    for (std::string_view k : {kAll, kConnect, kStats, kPublish, kSubscribe, kJoin, kUnknown})
        if (key == k) return true;
    return false;
}

AccessPolicy AccessPolicy::from_settings(const std::vector<ConfigSetting> &settings, const std::string &where,
                                         std::string &problems) {
    AccessPolicy p;
    bool written = false;
    for (const ConfigSetting &s : settings) {
        if (!is_policy_key(s.key)) continue;
        if (!written) {
            // A written policy replaces the default group's rule.
            p.all_.clear();
            written = true;
        }
        std::string why;
        bool qualified = s.key == kPublish || s.key == kSubscribe || s.key == kJoin;
        std::string name = s.subject.empty() ? s.key : s.key + " " + s.subject;
        if (qualified && s.subject.empty()) {
            why = "needs whom it allows: '" + s.key + " user:NAME = ...' (or group:NAME, uid:N, gid:N, *)";
        } else if (!qualified && !s.subject.empty()) {
            why = "takes the names after '=': '" + s.key + " = user:NAME, group:NAME, ...'";
        } else if (s.key == kUnknown) {
            if (s.value != "yes" && s.value != "no") why = "invalid value '" + s.value + "' (yes, no)";
            p.unknownPeers_ = s.value == "yes";
        } else if (!qualified) {
            auto &list = s.key == kAll ? p.all_ : s.key == kConnect ? p.connect_ : p.stats_;
            why = parse_principals(s.value, list);
        } else {
            Principal who;
            why = parse_principal(s.subject, who);
            if (!why.empty()) {
            } else if (s.key == kJoin) {
                JoinRule rule{who, {}};
                for (std::string_view g : comma_list(s.value)) {
                    if (g.empty()) {
                        why = "an empty group pattern in the list";
                        break;
                    }
                    rule.groups.push_back(std::make_shared<const Glob>(g));
                }
                p.join_.push_back(std::move(rule));
            } else {
                auto filter = std::make_shared<Filter>(Filter::compile(s.value));
                if (!filter->ok()) why = "invalid filter: " + filter->error();
                (s.key == kPublish ? p.publish_ : p.subscribe_).push_back({who, std::move(filter)});
            }
        }
        if (!why.empty()) problems += where + ":" + std::to_string(s.line) + ": " + name + ": " + why + "\n";
    }
    return p;
}

bool AccessPolicy::from_text(std::string_view text, AccessPolicy &out, std::string &problems) {
    std::vector<ConfigSetting> settings;
    if (!parse_config_text(text, settings, problems)) return false;
    out = from_settings(settings, "policy", problems);
    return problems.empty();
}

bool AccessPolicy::privileged(const PeerIdentity &who) noexcept {
    // Read once: the daemon never changes its user, and a publish asks.
    static const std::uint32_t self = ::geteuid();
    return who.uid && (*who.uid == 0 || *who.uid == self);
}

bool AccessPolicy::anywhere(const std::vector<Principal> &list, const PeerIdentity &who) const noexcept {
    for (const Principal &p : list)
        if (p.covers(who)) return true;
    return false;
}

// Any rule that names a user lets it connect: a rule to publish, subscribe
// or join is of no use without. Reading stats needs no connection, so that
// rule alone does not.
bool AccessPolicy::may_connect(const PeerIdentity &who) const {
    if (!who.uid && !unknownPeers_) return false;
    if (privileged(who) || anywhere(all_, who) || anywhere(connect_, who)) return true;
    for (const auto *rules : {&publish_, &subscribe_})
        for (const FilterRule &r : *rules)
            if (r.who.covers(who)) return true;
    for (const JoinRule &r : join_)
        if (r.who.covers(who)) return true;
    return false;
}

bool AccessPolicy::may_read_stats(const PeerIdentity &who) const {
    if (!who.uid && !unknownPeers_) return false;
    return privileged(who) || anywhere(all_, who) || anywhere(stats_, who);
}

Match AccessPolicy::may_publish(const PeerIdentity &who, const NotificationView &event) const noexcept {
    if (privileged(who) || anywhere(all_, who)) return Match::yes;
    Match result = Match::no;
    for (const FilterRule &r : publish_) {
        if (!r.who.covers(who)) continue;
        Match m = r.filter->evaluate(event);
        if (m == Match::yes) return m;
        if (m == Match::over_budget) result = m;
    }
    return result;
}

SubscribeGrant AccessPolicy::subscribe_grant(const PeerIdentity &who) const {
    SubscribeGrant grant;
    grant.unrestricted = privileged(who) || anywhere(all_, who);
    if (grant.unrestricted) return grant;
    for (const FilterRule &r : subscribe_)
        if (r.who.covers(who)) grant.filters.push_back(r.filter);
    return grant;
}

bool AccessPolicy::may_join(const PeerIdentity &who, std::string_view group) const {
    if (privileged(who) || anywhere(all_, who)) return true;
    for (const JoinRule &r : join_) {
        if (!r.who.covers(who)) continue;
        for (const auto &g : r.groups)
            if (g->matches(group)) return true;
    }
    return false;
}

std::string AccessPolicy::describe(const PeerIdentity &who) {
    return who.uid ? "user " + std::to_string(*who.uid) : std::string("a peer whose owner is unknown");
}

}  // namespace vavevard
