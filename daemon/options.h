// Command line and environment of vavevard.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cluster/cluster_options.h"
#include "request_limits.h"
#include "config_file.h"
#include "log.h"
#include "replay_store.h"

namespace vavevard {

struct Options {
    std::uint16_t port = 0;
    std::string home;
    bool homeIsDefault = false;  // not given: created at start when missing
    std::string configFile;      // the file read, "" when none was
    std::string logFile;         // "": standard error
    std::string instanceName;   // empty: the host name
    std::string portFile;       // "-": standard output
    LogLevel logLevel = LogLevel::info;
    // The monitoring endpoint: off unless a port is given (0: a free one).
    std::optional<std::uint16_t> httpPort;
    std::string httpAddress = "127.0.0.1";
    std::int64_t httpTimeoutMs = 10 * 1000;
    Limits limits;
    ReplayWindow replay{10 * 1000, 16 * 1024 * 1024};
    ClusterOptions cluster;     // no servers: not in a cluster
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

// Reads the arguments (without the program name); for what they do not give,
// the environment: the port from TAMRIX_LUMO_PROXY_PORT, the home from
// TAMRIX_CONFIG_HOME or else TAMRIX_HOME (an empty value counts as unset);
// for what neither gives, the configuration file (--config, else
// `defaultConfig` if it exists); and last the built-in defaults. Every
// problem found is reported, one per line.
ParseResult parse_options(const std::vector<std::string> &args, const GetEnv &getenv,
                          const std::string &defaultConfig = kDefaultConfigFile, bool root = false);

std::string usage();

}  // namespace vavevard
