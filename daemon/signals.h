// The signals the daemon handles, taken through a descriptor its event loop
// watches rather than in handlers: stop (SIGINT, SIGTERM), reload (SIGHUP),
// and those whose default would end it without a word (SIGUSR1, SIGUSR2,
// SIGALRM, SIGVTALRM, SIGIO, SIGPWR, SIGSTKFLT and the real-time ones),
// which it logs and otherwise ignores. SIGPIPE and SIGXFSZ are ignored
// outright, so that a closed peer or a full log file is an error return.
#pragma once

namespace vavevard {

enum class SignalAction { stop, reload, ignore };

SignalAction action_for(int signo) noexcept;

// "SIGHUP", or "signal N" for one without a name here.
const char *signal_name(int signo) noexcept;

class SignalWatch {
public:
    // Blocks the signals (before any thread starts) and opens the
    // descriptor; fd() is -1 when that failed.
    SignalWatch();
    ~SignalWatch();
    SignalWatch(const SignalWatch &) = delete;
    SignalWatch &operator=(const SignalWatch &) = delete;

    int fd() const noexcept { return fd_; }

    // The next pending signal's number, or 0 when none is.
    int next() noexcept;

private:
    int fd_ = -1;
};

}  // namespace vavevard
