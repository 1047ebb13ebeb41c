#include "system_limits.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

#include "log.h"

namespace vavevard {
namespace {

// Descriptors the daemon keeps for itself: standard streams, epoll, the wake
// and signal descriptors, listeners, the spare one, the peer lookup's socket,
// with room to spare.
constexpr rlim_t kOwnDescriptors = 32;
constexpr std::size_t kMiB = 1024 * 1024;

}  // namespace

void fit_to_system(Options &o) noexcept {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        if (files.rlim_cur < files.rlim_max) {
            rlimit raised{files.rlim_max, files.rlim_max};
            if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
            else
                logf(LogLevel::warn, "cannot raise the descriptor limit from %llu to %llu: %s",
                     static_cast<unsigned long long>(files.rlim_cur),
                     static_cast<unsigned long long>(files.rlim_max), std::strerror(errno));
        }
        rlim_t usable = files.rlim_cur > kOwnDescriptors ? files.rlim_cur - kOwnDescriptors : 1;
        if (files.rlim_cur == RLIM_INFINITY || usable > 1000000) usable = 1000000;
        if (!o.maxClientsGiven) {
            o.limits.maxClients = static_cast<std::size_t>(usable);
        } else if (o.limits.maxClients > usable) {
            logf(LogLevel::warn,
                 "--max-clients %zu is more than the descriptor limit allows (%llu): connections "
                 "past that are refused at accept",
                 o.limits.maxClients, static_cast<unsigned long long>(usable));
        }
        logf(LogLevel::info, "descriptor limit %llu: up to %zu clients",
             static_cast<unsigned long long>(files.rlim_cur), o.limits.maxClients);
    }
    rlimit space{};
    if (!o.maxMemoryGiven && ::getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY) {
        std::size_t half = static_cast<std::size_t>(space.rlim_cur / 2);
        if (half < o.limits.maxTotalBytes) o.limits.maxTotalBytes = half > kMiB ? half : kMiB;
    }
    logf(LogLevel::info, "memory bound for what clients make the daemon hold: %zu MiB",
         o.limits.maxTotalBytes / kMiB);
}

}  // namespace vavevard
