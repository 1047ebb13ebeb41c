// Where the daemon keeps its state, and where clients look for the same
// home, when nobody says: with the default port, this is how a daemon and a
// tool started with nothing set meet.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <string>

namespace vavevar::wire {

// The directory the service manager made for the daemon's state
// (STATE_DIRECTORY, the first it names) when there is one; else the system
// state directory for root; else the user's state directory
// ($XDG_STATE_HOME, else ~/.local/state, with HOME from the environment and
// else the password database); "" when neither can be told. `getenv` is
// asked for the variables, so that callers can give their own environment.
template <typename GetEnv>
std::string default_home(const GetEnv &getenv, bool root) {
    auto absolute = [](const char *path) { return path != nullptr && path[0] == '/'; };
    if (const char *made = getenv("STATE_DIRECTORY"); absolute(made)) {
        std::string first = made;
        return first.substr(0, first.find(':'));
    }
    if (root) return "/var/lib/vavevar";
    const char *state = getenv("XDG_STATE_HOME");
    // A relative XDG directory is to be ignored, as if unset.
    if (absolute(state)) return std::string(state) + "/vavevar";
    const char *home = getenv("HOME");
    if (!absolute(home)) {
        const passwd *user = ::getpwuid(::getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (!absolute(home)) return "";
    return std::string(home) + "/.local/state/vavevar";
}

}  // namespace vavevar::wire
