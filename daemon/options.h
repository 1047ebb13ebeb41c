// Command line and environment of vavevard.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "request_limits.h"
#include "log.h"

namespace vavevard {

struct Options {
    std::uint16_t port = 0;
    std::string home;
    std::string instanceName;   // empty: the host name
    std::string portFile;       // "-": standard output
    LogLevel logLevel = LogLevel::info;
    Limits limits;
    // Unset: worked out at start from the descriptor and address-space limits.
    bool maxClientsGiven = false;
    bool maxMemoryGiven = false;
};

struct ParseResult {
    enum Action { run, help, version, fail } action = fail;
    Options options;
    std::string message;  // the error for `fail`
};

using GetEnv = std::function<const char *(const char *)>;

// Reads the arguments (without the program name) and, for what they do not
// give, the environment: the port from TAMRIX_LUMO_PROXY_PORT, the home from
// TAMRIX_CONFIG_HOME or else TAMRIX_HOME (an empty value counts as unset).
ParseResult parse_options(const std::vector<std::string> &args, const GetEnv &getenv);

std::string usage();

}  // namespace vavevard
