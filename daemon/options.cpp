#include "options.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cluster/subject.h"
#include "home_dir.h"
#include "wire/default_port.h"

namespace vavevard {
namespace {

bool parse_unsigned(const std::string &text, std::uint64_t max, std::uint64_t &out) {
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (n > max) return false;
    out = n;
    return true;
}

ParseResult failure(std::string message) {
    ParseResult r;
    r.action = ParseResult::fail;
    r.message = std::move(message);
    return r;
}

}  // namespace

std::string usage() {
    return std::string("usage: vavevard [options]\n"
           "\n"
           "The notification daemon: routes events between the processes of this machine\n"
           "that use the vavevar library. Listens on 127.0.0.1 and ::1 only.\n"
           "\n"
           "  --port N            port to listen on; 0 picks a free one\n"
           "                      (default: TAMRIX_LUMO_PROXY_PORT, else ") +
           std::to_string(vavevar::wire::kDefaultDaemonPort) + ")\n"
           "  --home DIR          home directory (default: TAMRIX_CONFIG_HOME, then TAMRIX_HOME,\n"
           "                      else /var/lib/vavevar for root and\n"
           "                      ${XDG_STATE_HOME:-~/.local/state}/vavevar for others)\n"
           "  --config FILE       settings as 'key = value' lines, keys as these options\n"
           "                      without '--' (default: /etc/vavevar/vavevard.conf if present)\n"
           "  --log-file F        append the log to F instead of standard error\n"
           "  --instance-name N   name given to clients in the handshake (default: host name)\n"
           "  --port-file F       write the port, once listening, to F ('-': standard output)\n"
           "  --max-pending-mib N unsent output per client past which its events are\n"
           "                      skipped and counted, until it reads (default 64)\n"
           "  --max-clients N     connections past the handshake at once\n"
           "                      (default: what the descriptor limit allows)\n"
           "  --max-memory-mib N  what all clients together may make the daemon hold\n"
           "                      (default 1024, or half the address-space limit if lower)\n"
           "  --max-connections-per-user N\n"
           "                      connections one user may hold (default: 3/4 of\n"
           "                      max-clients, at least 8)\n"
           "  --max-connections-per-process N\n"
           "                      connections past the handshake from one process (default 256)\n"
           "  --handshake-timeout S\n"
           "                      close connections not handshaken within S seconds\n"
           "                      (default 10; 0: never)\n"
           "  --idle-timeout S    close clients that neither send nor read for S seconds\n"
           "                      (default 0: never)\n"
           "  --slow-client-timeout S\n"
           "                      close clients that have output waiting and read none\n"
           "                      of it for S seconds (default 60; 0: never)\n"
           "  --replay-window-ms N\n"
           "                      for N ms after start, hold every event for clients that\n"
           "                      subscribe again after a reconnection (default 10000; 0: off)\n"
           "  --replay-window-mib N\n"
           "                      hold at most N MiB of events in that window (default 16)\n"
           "  --http-port N       serve GET /stats (JSON) and GET /metrics over HTTP on port N;\n"
           "                      0 picks a free one (default: off)\n"
           "  --http-address A    numeric address the HTTP port listens on (default 127.0.0.1)\n"
           "  --http-timeout S    close HTTP connections that take more than S seconds to send\n"
           "                      a request or to read the answer (default 10)\n"
           "  --cluster URLS      join a cluster through NATS: nats://HOST:PORT, several\n"
           "                      separated by commas, tried in that order (default: none)\n"
           "  --node NAME         this node's name in the cluster (default: the host name)\n"
           "  --cluster-name NAME prefix of every subject, so clusters can share a NATS\n"
           "                      (default vavevar)\n"
           "  --cluster-heartbeat-ms N\n"
           "                      heartbeat interval of a node (default 1000)\n"
           "  --cluster-grace-ms N\n"
           "                      a node silent this long has left (default 5000)\n"
           "  --cluster-reconnect-buffer-mib N\n"
           "                      events kept for the cluster while its link is down (default 8)\n"
           "  --log-level L       error, warn, info or debug (default info)\n"
           "  --help              this text\n"
           "  --version           the version\n"
           "\n"
           "Stops cleanly on SIGINT and SIGTERM; SIGHUP re-reads the configuration file\n"
           "and reopens the log file.\n";
}

namespace {

constexpr const char *kWithValue[] = {
    "--port",           "--home",            "--instance-name",
    "--port-file",      "--max-pending-mib", "--max-clients",
    "--log-level",      "--max-memory-mib",  "--max-connections-per-user",
    "--max-connections-per-process", "--handshake-timeout", "--idle-timeout",
    "--slow-client-timeout", "--replay-window-ms", "--replay-window-mib",
    "--log-file",       "--config",          "--http-port",
    "--http-address",   "--http-timeout",    "--cluster",
    "--node",           "--cluster-name",    "--cluster-heartbeat-ms",
    "--cluster-grace-ms", "--cluster-reconnect-buffer-mib"};

// What the settings gave, so that a later source fills only what is left.
struct Given {
    bool port = false, home = false;
};

// One setting, from the command line or the file; "" or the problem.
std::string apply(const std::string &name, const std::string &value, Options &o, Given &given) {
    std::uint64_t n = 0;
    if (name == "--port") {
        if (!parse_unsigned(value, 65535, n)) return "--port: invalid value '" + value + "' (0 to 65535)";
        o.port = static_cast<std::uint16_t>(n);
        given.port = true;
    } else if (name == "--home") {
        if (value.empty()) return "--home: empty value";
        o.home = value;
        given.home = true;
    } else if (name == "--instance-name") {
        if (value.find_first_of("\r\n") != std::string::npos)
            return "--instance-name may not hold a line break";
        o.instanceName = value;
    } else if (name == "--port-file") {
        o.portFile = value;
    } else if (name == "--log-file") {
        o.logFile = value;
    } else if (name == "--max-pending-mib") {
        if (!parse_unsigned(value, 1024 * 1024, n) || n == 0)
            return "--max-pending-mib: invalid value '" + value + "'";
        o.limits.maxPendingBytes = static_cast<std::size_t>(n) * 1024 * 1024;
    } else if (name == "--max-clients") {
        if (!parse_unsigned(value, 1000000, n) || n == 0) return "--max-clients: invalid value '" + value + "'";
        o.limits.maxClients = static_cast<std::size_t>(n);
        o.maxClientsGiven = true;
    } else if (name == "--max-memory-mib") {
        if (!parse_unsigned(value, 1024 * 1024, n) || n == 0)
            return "--max-memory-mib: invalid value '" + value + "'";
        o.limits.maxTotalBytes = static_cast<std::size_t>(n) * 1024 * 1024;
        o.maxMemoryGiven = true;
    } else if (name == "--max-connections-per-user" || name == "--max-connections-per-process") {
        if (!parse_unsigned(value, 1000000, n) || n == 0) return name + ": invalid value '" + value + "'";
        (name == "--max-connections-per-user" ? o.limits.maxConnectionsPerUser
                                              : o.limits.maxConnectionsPerProcess) = static_cast<std::size_t>(n);
    } else if (name == "--handshake-timeout" || name == "--idle-timeout" || name == "--slow-client-timeout") {
        if (!parse_unsigned(value, 1000000, n)) return name + ": invalid value '" + value + "' (seconds, 0: never)";
        (name == "--handshake-timeout" ? o.limits.handshakeTimeoutMs
         : name == "--idle-timeout"    ? o.limits.idleTimeoutMs
                                       : o.limits.slowClientTimeoutMs) = static_cast<std::int64_t>(n) * 1000;
    } else if (name == "--replay-window-ms") {
        if (!parse_unsigned(value, 3600 * 1000, n))
            return "--replay-window-ms: invalid value '" + value + "' (0 to 3600000)";
        o.replay.ms = static_cast<std::int64_t>(n);
    } else if (name == "--replay-window-mib") {
        if (!parse_unsigned(value, 1024 * 1024, n)) return "--replay-window-mib: invalid value '" + value + "'";
        o.replay.bytes = static_cast<std::size_t>(n) * 1024 * 1024;
    } else if (name == "--http-port") {
        if (!parse_unsigned(value, 65535, n)) return "--http-port: invalid value '" + value + "' (0 to 65535)";
        o.httpPort = static_cast<std::uint16_t>(n);
    } else if (name == "--http-address") {
        in6_addr any{};
        if (::inet_pton(AF_INET, value.c_str(), &any) != 1 && ::inet_pton(AF_INET6, value.c_str(), &any) != 1)
            return "--http-address: invalid value '" + value + "' (a numeric IPv4 or IPv6 address)";
        o.httpAddress = value;
    } else if (name == "--http-timeout") {
        if (!parse_unsigned(value, 3600, n) || n == 0)
            return "--http-timeout: invalid value '" + value + "' (1 to 3600 seconds)";
        o.httpTimeoutMs = static_cast<std::int64_t>(n) * 1000;
    } else if (name == "--cluster") {
        std::vector<std::string> servers;
        for (std::size_t at = 0; at <= value.size();) {
            std::size_t comma = value.find(',', at);
            std::string url = value.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            std::size_t colon = url.rfind(':');
            std::uint64_t port = 0;
            if (url.rfind("nats://", 0) != 0 || colon == std::string::npos || colon <= 7 ||
                !parse_unsigned(url.substr(colon + 1), 65535, port) || port == 0 ||
                url.find_first_of(" \t\r\n") != std::string::npos)
                return "--cluster: invalid server '" + url + "' (nats://HOST:PORT, several separated by commas)";
            servers.push_back(url);
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
        o.cluster.servers = std::move(servers);
    } else if (name == "--node") {
        if (!cluster::valid_node_name(value))
            return "--node: invalid value '" + value + "' (1 to 255 printable characters, no blank, ',' or ';')";
        o.cluster.node = value;
    } else if (name == "--cluster-name") {
        if (!cluster::valid_cluster_name(value))
            return "--cluster-name: invalid value '" + value + "' (letters, digits, '-' and '_')";
        o.cluster.name = value;
    } else if (name == "--cluster-heartbeat-ms" || name == "--cluster-grace-ms") {
        if (!parse_unsigned(value, 3600 * 1000, n) || n < 10)
            return name + ": invalid value '" + value + "' (10 to 3600000 ms)";
        (name == "--cluster-heartbeat-ms" ? o.cluster.heartbeatMs : o.cluster.graceMs) = static_cast<std::int64_t>(n);
    } else if (name == "--cluster-reconnect-buffer-mib") {
        if (!parse_unsigned(value, 1024, n) || n == 0)
            return "--cluster-reconnect-buffer-mib: invalid value '" + value + "' (1 to 1024)";
        o.cluster.reconnectBufferBytes = static_cast<std::size_t>(n) * 1024 * 1024;
    } else if (name == "--log-level") {
        if (!parse_log_level(value, o.logLevel))
            return "--log-level: invalid value '" + value + "' (error, warn, info, debug)";
    }
    return "";
}

}  // namespace

ParseResult parse_options(const std::vector<std::string> &args, const GetEnv &getenv,
                          const std::string &defaultConfig, bool root) {
    ParseResult r;
    Options &o = r.options;
    std::vector<std::pair<std::string, std::string>> fromArgs;
    std::string configPath;
    bool configGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--help" || a == "-h") {
            r.action = ParseResult::help;
            return r;
        }
        if (a == "--version") {
            r.action = ParseResult::version;
            return r;
        }
        std::string name = a, value;
        bool inlineValue = false;
        if (std::size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inlineValue = true;
        }
        bool known = false;
        for (const char *w : kWithValue) known = known || name == w;
        if (!known) return failure("unknown option '" + a + "' (see --help)");
        if (!inlineValue) {
            if (i + 1 >= args.size()) return failure("option " + name + " needs a value");
            value = args[++i];
        }
        if (name == "--config") {
            configPath = value;
            configGiven = true;
        } else {
            fromArgs.emplace_back(name, value);
        }
    }

    // The file first, so that the environment and then the arguments, each
    // more particular to this start, override it.
    std::string problems;
    Given given;
    std::vector<ConfigSetting> settings;
    std::string error;
    if (!configGiven) configPath = defaultConfig;
    if (!configPath.empty() && !read_config_file(configPath, !configGiven, settings, error)) {
        problems += error + "\n";
    } else if (!configPath.empty() && ::access(configPath.c_str(), F_OK) == 0) {
        o.configFile = configPath;
    }
    for (const ConfigSetting &s : settings) {
        std::string name = "--" + s.key;
        bool known = name != "--config";
        if (known) {
            known = false;
            for (const char *w : kWithValue) known = known || name == w;
        }
        std::string where = configPath + ":" + std::to_string(s.line) + ": ";
        if (!known)
            problems += where + "unknown key '" + s.key + "'\n";
        else if (std::string why = apply(name, s.value, o, given); !why.empty())
            problems += where + why.substr(2) + "\n";
    }
    bool portInArgs = false, homeInArgs = false;
    for (auto &[name, value] : fromArgs) {
        portInArgs = portInArgs || name == "--port";
        homeInArgs = homeInArgs || name == "--home";
    }
    if (!portInArgs) {
        const char *env = getenv("TAMRIX_LUMO_PROXY_PORT");
        std::uint64_t n = 0;
        if (env == nullptr || *env == '\0') {
        } else if (!parse_unsigned(env, 65535, n) || n == 0) {
            problems += "TAMRIX_LUMO_PROXY_PORT: invalid value '" + std::string(env) + "' (1 to 65535)\n";
        } else {
            o.port = static_cast<std::uint16_t>(n);
            given.port = true;
        }
    }
    if (!homeInArgs) {
        for (const char *var : {"TAMRIX_CONFIG_HOME", "TAMRIX_HOME"}) {
            const char *env = getenv(var);
            if (env != nullptr && *env != '\0') {
                o.home = env;
                given.home = true;
                break;
            }
        }
    }
    for (auto &[name, value] : fromArgs)
        if (std::string why = apply(name, value, o, given); !why.empty()) return failure(why);

    if (!given.port) o.port = vavevar::wire::kDefaultDaemonPort;
    if (!given.home) {
        o.home = default_home(getenv, root);
        o.homeIsDefault = true;
        if (o.home.empty())
            problems += "no home directory: give --home, set TAMRIX_CONFIG_HOME or TAMRIX_HOME, or HOME for the default\n";
    } else {
        struct stat st {};
        if (::stat(o.home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            problems += "home directory '" + o.home + "' does not exist or is not a directory\n";
    }
    if (o.cluster.graceMs <= o.cluster.heartbeatMs)
        problems += "--cluster-grace-ms (" + std::to_string(o.cluster.graceMs) +
                    ") must be longer than --cluster-heartbeat-ms (" + std::to_string(o.cluster.heartbeatMs) + ")\n";
    if (!problems.empty()) {
        problems.pop_back();
        return failure(problems);
    }
    r.action = ParseResult::run;
    return r;
}

}  // namespace vavevard
