#include "signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>

namespace vavevard {
namespace {

constexpr int kNamed[] = {SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                          SIGVTALRM, SIGIO, SIGPWR, SIGSTKFLT};

}  // namespace

SignalAction action_for(int signo) noexcept {
    if (signo == SIGINT || signo == SIGTERM) return SignalAction::stop;
    if (signo == SIGHUP) return SignalAction::reload;
    return SignalAction::ignore;
}

const char *signal_name(int signo) noexcept {
    switch (signo) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGUSR1: return "SIGUSR1";
    case SIGUSR2: return "SIGUSR2";
    case SIGALRM: return "SIGALRM";
    case SIGVTALRM: return "SIGVTALRM";
    case SIGIO: return "SIGIO";
    case SIGPWR: return "SIGPWR";
    case SIGSTKFLT: return "SIGSTKFLT";
    default: break;
    }
    thread_local char text[24];
    std::snprintf(text, sizeof text, "signal %d", signo);
    return text;
}

SignalWatch::SignalWatch() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kNamed) sigaddset(&set, s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

SignalWatch::~SignalWatch() {
    if (fd_ >= 0) ::close(fd_);
}

int SignalWatch::next() noexcept {
    signalfd_siginfo info{};
    if (fd_ < 0 || ::read(fd_, &info, sizeof info) != sizeof info) return 0;
    return static_cast<int>(info.ssi_signo);
}

}  // namespace vavevard
