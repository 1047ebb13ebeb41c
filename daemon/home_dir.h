// Where the daemon keeps its state when nobody says, and the check that the
// home it is given can be used.
#pragma once

#include <string>

#include "options.h"

namespace vavevard {

// The directory the service manager made for the daemon's state
// (STATE_DIRECTORY) when it runs as a service; else the system state
// directory for root, the user's state directory
// ($XDG_STATE_HOME, else ~/.local/state, with HOME from the environment and
// else the password database) for everyone else; "" when neither can be told.
std::string default_home(const GetEnv &getenv, bool root);

// Makes sure `path` is a directory the daemon can write in; creates it (and
// its parents) first when `create`. False with `error` naming the path and
// the reason otherwise.
bool prepare_home(const std::string &path, bool create, std::string &error);

}  // namespace vavevard
