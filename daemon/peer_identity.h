// The groups of a connection's owner, as the system's user and group
// databases give them, so that rules may name groups. Looked up once per
// user and kept until forget() (at SIGHUP): a lookup may be slow (a network
// directory), and it runs on the event loop.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "access_policy.h"

namespace vavevard {

class PeerDirectory {
public:
    // `uid` as the kernel named it (nothing: unknown, and so in no group);
    // `gid` the primary group the kernel gave with it, where it did (local
    // sockets). For TCP the primary group is the user's in the password
    // database, and for both the supplementary groups come from the group
    // database.
    PeerIdentity identify(std::optional<std::uint32_t> uid, std::optional<std::uint32_t> gid = std::nullopt);

    // Drops what was learnt, so that the next identify() reads the databases
    // again (a user added to a group, say).
    void forget() noexcept { groups_.clear(); }

private:
    std::map<std::uint32_t, std::vector<std::uint32_t>> groups_;
};

// The groups of `uid` read from the databases now: its primary group and
// every group listing it. Empty for a user the password database does not
// know.
std::vector<std::uint32_t> groups_of_user(std::uint32_t uid);

}  // namespace vavevard
