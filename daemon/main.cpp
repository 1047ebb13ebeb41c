// vavevard: the notification daemon's entry point. Reads its configuration,
// listens (or takes the sockets the service manager passed), tells the
// service manager it is ready, and runs the event loop until SIGINT or
// SIGTERM.
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cluster/bridge.h"
#include "config_file.h"
#include "heap.h"
#include "home_dir.h"
#include "log.h"
#include "options.h"
#include "reload.h"
#include "server.h"
#include "signals.h"
#include "socket_activation.h"
#include "system_limits.h"
#include "systemd_notify.h"

#ifndef VAVEVARD_VERSION
#define VAVEVARD_VERSION "unknown"
#endif

namespace {

std::string host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// Written to a temporary file and renamed, so a reader never sees a partial
// number.
bool write_port_file(const std::string &path, std::uint16_t port) {
    std::string text = std::to_string(port) + "\n";
    if (path == "-") {
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0;
    }
    std::string temporary = path + ".tmp." + std::to_string(::getpid());
    FILE *f = std::fopen(temporary.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = std::fputs(text.c_str(), f) >= 0;
    ok = std::fclose(f) == 0 && ok;
    if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    std::remove(temporary.c_str());
    return false;
}

// SIGHUP: reads the configuration again; applies what can change while
// running, says what waits for a restart, and reopens the log file either
// way (after it was rotated, say).
void reload(vavevard::Options &running, const std::vector<std::string> &args,
            const vavevard::GetEnv &getenv, bool root) {
    using namespace vavevard;
    ParseResult fresh = parse_options(args, getenv, kDefaultConfigFile, root);
    bool ok = fresh.action == ParseResult::run;
    Options &f = fresh.options;
    // The log first, so that what follows lands in the file it is now.
    bool keepLogFile = ok && f.logFile != running.logFile && f.logFile.empty();
    if (ok && !keepLogFile) running.logFile = f.logFile;
    std::string error;
    bool reopened = running.logFile.empty() || open_log_file(running.logFile, error);
    set_journal_priorities(stderr_is_journal(std::getenv("JOURNAL_STREAM")));
    if (!reopened) logf(LogLevel::error, "SIGHUP: %s; logging where it did", error.c_str());
    if (!ok) logf(LogLevel::error, "SIGHUP: configuration not reloaded: %s", fresh.message.c_str());
    if (keepLogFile) logf(LogLevel::warn, "SIGHUP: log-file removed; logging to it until the next start");
    if (ok) {
        for (const std::string &key : needing_restart(running, f))
            logf(LogLevel::warn, "SIGHUP: %s changed; takes effect at the next start", key.c_str());
        if (f.logLevel != running.logLevel) {
            set_log_level(f.logLevel);
            running.logLevel = f.logLevel;
            logf(LogLevel::info, "SIGHUP: log level now %s", std::string(log_level_name(f.logLevel)).c_str());
        }
    }
    logf(LogLevel::info, "SIGHUP: configuration %s%s", ok ? "reloaded" : "kept",
         reopened && !running.logFile.empty() ? ", log reopened" : "");
}

}  // namespace

int main(int argc, char **argv) {
    using namespace vavevard;
    std::vector<std::string> args(argv + 1, argv + argc);
    const GetEnv getenv = [](const char *name) { return std::getenv(name); };
    const bool root = ::geteuid() == 0;
    ParseResult parsed = parse_options(args, getenv, kDefaultConfigFile, root);
    switch (parsed.action) {
    case ParseResult::help:
        std::fputs(usage().c_str(), stdout);
        return 0;
    case ParseResult::version:
        std::printf("vavevard %s\n", VAVEVARD_VERSION);
        return 0;
    case ParseResult::fail:
        std::fprintf(stderr, "vavevard: %s\n", parsed.message.c_str());
        return 2;
    case ParseResult::run:
        break;
    }
    Options o = parsed.options;
    std::string error;
    if (!prepare_home(o.home, o.homeIsDefault, error) ||
        (!o.logFile.empty() && !open_log_file(o.logFile, error))) {
        std::fprintf(stderr, "vavevard: %s\n", error.c_str());
        return 2;
    }
    set_journal_priorities(stderr_is_journal(std::getenv("JOURNAL_STREAM")));
    set_log_level(o.logLevel);
    heap_tune();
    fit_to_system(o);

    // Blocked before anything else starts, so that no thread takes them.
    SignalWatch signals;
    if (signals.fd() < 0) {
        logf(LogLevel::error, "cannot watch for signals: %s", std::strerror(errno));
        return 1;
    }

    RouterConfig config;
    std::string host = host_name();
    config.instanceName = o.instanceName.empty() ? host : o.instanceName;
    config.daemonId = host + ":" + std::to_string(::getpid());
    config.version = std::string("vavevard ") + VAVEVARD_VERSION;
    config.limits = o.limits;
    config.replay = o.replay;

    std::vector<int> passed;
    if (!inherited_listeners(getenv, ::getpid(), passed, error)) {
        std::fprintf(stderr, "vavevard: %s\n", error.c_str());
        return 2;
    }
    // Not for the children of this process, should it ever have any.
    for (const char *name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) ::unsetenv(name);

    std::string node = o.cluster.node.empty() ? host : o.cluster.node;
    Server server(config);
    // Joined before listening, so that a daemon whose node name is taken
    // never serves a client.
    std::unique_ptr<cluster::Bridge> bridge;
    if (o.cluster.enabled()) {
        bridge = std::make_unique<cluster::Bridge>(o.cluster, node, server.router());
        if (!bridge->start(error)) {
            logf(LogLevel::error, "%s", error.c_str());
            std::fprintf(stderr, "vavevard: %s\n", error.c_str());
            return 2;
        }
        server.watch(bridge->wake_fd(), [&]() {
            bridge->on_wake();
            return true;
        });
        server.watch(bridge->timer_fd(), [&]() {
            bridge->on_timer();
            return true;
        });
    }
    if (!(passed.empty() ? server.listen(o.port, error) : server.adopt_listeners(passed, error))) {
        logf(LogLevel::error, "%s", error.c_str());
        std::fprintf(stderr, "vavevard: %s\n", error.c_str());
        return 1;
    }
    logf(LogLevel::info, "listening on %s port %u, instance \"%s\", home %s",
         passed.empty() ? "127.0.0.1 and ::1" : "passed sockets", server.port(),
         config.instanceName.c_str(), o.home.c_str());
    if (o.httpPort) {
        if (!server.listen_http(o.httpAddress, *o.httpPort, o.httpTimeoutMs, error)) {
            error = "cannot serve HTTP on " + o.httpAddress + " port " + std::to_string(*o.httpPort) + ": " + error;
            logf(LogLevel::error, "%s", error.c_str());
            std::fprintf(stderr, "vavevard: %s\n", error.c_str());
            return 1;
        }
        logf(LogLevel::info, "serving /stats and /metrics over HTTP on %s port %u", o.httpAddress.c_str(),
             server.http_port());
        if (o.httpAddress.rfind("127.", 0) != 0 && o.httpAddress != "::1")
            logf(LogLevel::warn, "the HTTP port is reachable beyond this machine (%s): it shows every "
                                 "client's self id and filters", o.httpAddress.c_str());
    }
    if (!o.configFile.empty()) logf(LogLevel::info, "configuration read from %s", o.configFile.c_str());
    if (!o.portFile.empty() && !write_port_file(o.portFile, server.port())) {
        logf(LogLevel::error, "cannot write the port file %s: %s", o.portFile.c_str(),
             std::strerror(errno));
        return 1;
    }

    server.watch(signals.fd(), [&]() {
        for (int signo = signals.next(); signo != 0; signo = signals.next()) {
            switch (action_for(signo)) {
            case SignalAction::stop:
                logf(LogLevel::info, "stopped by signal %d", signo);
                notify_service_manager(getenv, "STOPPING=1");
                return false;
            case SignalAction::reload:
                reload(o, args, getenv, root);
                break;
            case SignalAction::ignore:
                logf(LogLevel::warn, "%s ignored", signal_name(signo));
                break;
            }
        }
        return true;
    });

    int watchdog = -1;
    if (std::int64_t every = watchdog_ping_ms(getenv, ::getpid()); every > 0) {
        watchdog = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        itimerspec period{};
        period.it_interval.tv_sec = every / 1000;
        period.it_interval.tv_nsec = (every % 1000) * 1000000;
        period.it_value = period.it_interval;
        if (watchdog >= 0 && ::timerfd_settime(watchdog, 0, &period, nullptr) == 0) {
            // Pinged from the loop itself, so a loop that hangs is noticed.
            server.watch(watchdog, [&]() {
                std::uint64_t expirations = 0;
                [[maybe_unused]] ssize_t n = ::read(watchdog, &expirations, sizeof expirations);
                notify_service_manager(getenv, "WATCHDOG=1");
                return true;
            });
        }
    }
    notify_service_manager(getenv, "READY=1");

    int status = server.run();
    if (bridge) bridge->stop();
    if (watchdog >= 0) ::close(watchdog);
    if (!o.portFile.empty() && o.portFile != "-") std::remove(o.portFile.c_str());
    logf(LogLevel::info, "stopped");
    return status;
}
