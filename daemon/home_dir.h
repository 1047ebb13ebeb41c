// Where the daemon keeps its state when nobody says, and the check that the
// home it is given can be used.
#pragma once

#include <string>

#include "options.h"

namespace vavevard {

// The home when nobody names one (wire/default_home.h, which the tool uses
// too).
std::string default_home(const GetEnv &getenv, bool root);

// Makes sure `path` is a directory the daemon can write in; creates it (and
// its parents) first when `create`. False with `error` naming the path and
// the reason otherwise.
bool prepare_home(const std::string &path, bool create, std::string &error);

}  // namespace vavevard
