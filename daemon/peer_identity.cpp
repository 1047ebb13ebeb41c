#include "peer_identity.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <string>

namespace vavevard {

std::vector<std::uint32_t> groups_of_user(std::uint32_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{}, *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return {};
    std::string name = found->pw_name;
    gid_t primary = found->pw_gid;
    int count = 64;
    std::vector<gid_t> gids(static_cast<std::size_t>(count));
    // Asked again with the size it says it needs, once: a user in more groups
    // than that between two calls is not worth a loop on the event thread.
    if (::getgrouplist(name.c_str(), primary, gids.data(), &count) < 0) {
        gids.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(name.c_str(), primary, gids.data(), &count) < 0) count = 0;
    }
    std::vector<std::uint32_t> groups(gids.begin(), gids.begin() + std::max(count, 0));
    if (std::find(groups.begin(), groups.end(), primary) == groups.end()) groups.push_back(primary);
    return groups;
}

PeerIdentity PeerDirectory::identify(std::optional<std::uint32_t> uid, std::optional<std::uint32_t> gid) {
    PeerIdentity who;
    who.uid = uid;
    if (!uid) return who;
    auto it = groups_.find(*uid);
    if (it == groups_.end()) it = groups_.emplace(*uid, groups_of_user(*uid)).first;
    who.groups = it->second;
    if (gid && std::find(who.groups.begin(), who.groups.end(), *gid) == who.groups.end())
        who.groups.push_back(*gid);
    return who;
}

}  // namespace vavevard
