// Who may do what with the daemon. Every decision is taken on the owner of a
// connection as the kernel names it (and the groups the system gives that
// user), never on what a client says about itself. The rules come from the
// configuration file's allow- settings; docs/daemon.md describes them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config_file.h"
#include "filter.h"
#include "glob.h"

namespace vavevard {

// The owner of a connection: its user (nothing when the kernel could not
// say) and every group that user is in, primary and supplementary.
struct PeerIdentity {
    std::optional<std::uint32_t> uid;
    std::vector<std::uint32_t> groups;
};

// Who a rule names: anyone, one user, or the members of one group.
struct Principal {
    enum class Kind : std::uint8_t { anyone, user, group } kind = Kind::anyone;
    std::uint32_t id = 0;
    bool covers(const PeerIdentity &who) const noexcept;
};

// What one subscription may be delivered: every event its own filter matches
// when `unrestricted`, else only those one of `filters` also matches. A grant
// that is neither allows nothing, and the subscribe is refused.
struct SubscribeGrant {
    bool unrestricted = false;
    std::vector<std::shared_ptr<const Filter>> filters;
    bool allowed() const noexcept { return unrestricted || !filters.empty(); }
    // Whether an event the subscription's own filter matched may reach it;
    // over_budget when every filter that could have said yes gave up.
    Match admits(const NotificationView &event) const noexcept;
};

// The name of the property the daemon adds to every event it routes: the
// publisher's user as the kernel names it. A property of that name written by
// a client is removed first.
inline constexpr std::string_view kPublisherUidProperty = "vavevard.publisherUid";

class AccessPolicy {
public:
    // With no allow- setting written: root, the daemon's own user and the
    // members of the group "vavevar" (when it exists) may do everything, and
    // nobody else may connect.
    AccessPolicy();

    // Whether `key` is one of the policy's settings; those may name a
    // principal before the '=' ("allow-publish user:alice = ...").
    static bool is_policy_key(std::string_view key) noexcept;

    // The policy the allow- settings among `settings` write (the defaults
    // when there is none). Each problem found is appended to `problems` as a
    // line "<where>:<line>: <why>\n".
    static AccessPolicy from_settings(const std::vector<ConfigSetting> &settings, const std::string &where,
                                      std::string &problems);
    // The same from configuration text, for tests and tools: false with
    // `problems` set when it has any.
    static bool from_text(std::string_view text, AccessPolicy &out, std::string &problems);

    // Whether the owner is unknown and that is allowed.
    bool allows_unknown_peers() const noexcept { return unknownPeers_; }
    bool may_connect(const PeerIdentity &who) const;
    bool may_read_stats(const PeerIdentity &who) const;
    // Whether `who` may publish the event; no when it may not, yes when it
    // may, over_budget when the rules' filters gave up on it.
    Match may_publish(const PeerIdentity &who, const NotificationView &event) const noexcept;
    // Whether `who` may publish whatever it likes: no event need be tested.
    bool may_publish_anything(const PeerIdentity &who) const noexcept { return privileged(who) || anywhere(all_, who); }
    SubscribeGrant subscribe_grant(const PeerIdentity &who) const;
    bool may_join(const PeerIdentity &who, std::string_view group) const;

    // Why a refusal happened, for answers and log lines: "user 1000", or
    // "a peer whose owner is unknown".
    static std::string describe(const PeerIdentity &who);

private:
    // Root and the daemon's own user: a policy cannot lock out whoever can
    // stop, restart or read the daemon anyway.
    static bool privileged(const PeerIdentity &who) noexcept;
    bool anywhere(const std::vector<Principal> &list, const PeerIdentity &who) const noexcept;

    struct FilterRule {
        Principal who;
        std::shared_ptr<const Filter> filter;
    };
    struct JoinRule {
        Principal who;
        std::vector<std::shared_ptr<const Glob>> groups;
    };
    std::vector<Principal> all_, connect_, stats_;
    std::vector<FilterRule> publish_, subscribe_;
    std::vector<JoinRule> join_;
    bool unknownPeers_ = false;
};

}  // namespace vavevard
