// How the daemon names a connection, from its accept to its close.
#pragma once

#include <cstdint>

namespace vavevard {

using ClientId = std::uint64_t;

}  // namespace vavevard
