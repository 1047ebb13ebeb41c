// vavevard: the notification daemon's entry point. Reads its configuration,
// listens, and runs the event loop until SIGINT or SIGTERM.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "heap.h"
#include "log.h"
#include "options.h"
#include "server.h"
#include "system_limits.h"

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

}  // namespace

int main(int argc, char **argv) {
    using namespace vavevard;
    std::vector<std::string> args(argv + 1, argv + argc);
    ParseResult parsed = parse_options(args, [](const char *name) { return std::getenv(name); });
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
    Options &o = parsed.options;
    set_log_level(o.logLevel);
    heap_tune();
    fit_to_system(o);

    // The signals are taken through a descriptor in the event loop, so they
    // are blocked before anything else starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    int signalFd = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        logf(LogLevel::error, "cannot watch for signals: %s", std::strerror(errno));
        return 1;
    }

    RouterConfig config;
    std::string host = host_name();
    config.instanceName = o.instanceName.empty() ? host : o.instanceName;
    config.daemonId = host + ":" + std::to_string(::getpid());
    config.version = std::string("vavevard ") + VAVEVARD_VERSION;
    config.limits = o.limits;

    Server server(config);
    std::string error;
    if (!server.listen(o.port, error)) {
        logf(LogLevel::error, "%s", error.c_str());
        std::fprintf(stderr, "vavevard: %s\n", error.c_str());
        ::close(signalFd);
        return 1;
    }
    server.add_stop_fd(signalFd);
    logf(LogLevel::info, "listening on 127.0.0.1 and ::1 port %u, instance \"%s\", home %s",
         server.port(), config.instanceName.c_str(), o.home.c_str());
    if (!o.portFile.empty() && !write_port_file(o.portFile, server.port())) {
        logf(LogLevel::error, "cannot write the port file %s: %s", o.portFile.c_str(),
             std::strerror(errno));
        ::close(signalFd);
        return 1;
    }

    int status = server.run();
    signalfd_siginfo info{};
    if (::read(signalFd, &info, sizeof info) == sizeof info)
        logf(LogLevel::info, "stopped by signal %u", info.ssi_signo);
    ::close(signalFd);
    if (!o.portFile.empty() && o.portFile != "-") std::remove(o.portFile.c_str());
    logf(LogLevel::info, "stopped");
    return status;
}
