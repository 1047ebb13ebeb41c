#include "systemd_notify.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace vavevard {
namespace {

constexpr int kSendBoundSeconds = 2;

}  // namespace

bool notify_service_manager(const GetEnv &getenv, std::string_view state) noexcept {
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t length = std::strlen(name);
    if (length >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    // An abstract name is as long as given, not up to a terminating NUL.
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '@' ? 0 : 1));
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // A manager slow to read holds the daemon up a little, never for good.
    timeval bound{kSendBoundSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr *>(&address), size);
    ::close(fd);
    return sent == static_cast<ssize_t>(state.size());
}

std::int64_t watchdog_ping_ms(const GetEnv &getenv, long pid) noexcept {
    const char *usec = getenv("WATCHDOG_USEC");
    if (usec == nullptr || *usec == '\0') return 0;
    const char *owner = getenv("WATCHDOG_PID");
    if (owner != nullptr && *owner != '\0' && std::strtol(owner, nullptr, 10) != pid) return 0;
    char *end = nullptr;
    long long us = std::strtoll(usec, &end, 10);
    if (*end != '\0' || us <= 0) return 0;
    std::int64_t half = us / 2000;
    return half > 0 ? half : 1;
}

}  // namespace vavevard
