#include "socket_activation.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cstdlib>

namespace vavevard {
namespace {

constexpr int kFirstPassed = 3;

bool whole_number(const char *text, long &out) {
    if (text == nullptr || *text == '\0') return false;
    char *end = nullptr;
    out = std::strtol(text, &end, 10);
    return *end == '\0' && out >= 0;
}

}  // namespace

bool inherited_listeners(const GetEnv &getenv, long pid, std::vector<int> &fds, std::string &error) {
    const char *pidText = getenv("LISTEN_PID"), *countText = getenv("LISTEN_FDS");
    if (pidText == nullptr || *pidText == '\0') return true;
    long owner = 0, count = 0;
    if (!whole_number(pidText, owner) || !whole_number(countText, count)) {
        error = "LISTEN_PID and LISTEN_FDS: invalid values";
        return false;
    }
    if (owner != pid) return true;
    for (int fd = kFirstPassed; fd < kFirstPassed + count; ++fd) {
        int listening = 0, type = 0;
        socklen_t size = sizeof listening;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0 ||
            (size = sizeof type, ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size)) != 0 ||
            type != SOCK_STREAM) {
            error = "passed descriptor " + std::to_string(fd) + " is not a listening stream socket";
            return false;
        }
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        fds.push_back(fd);
    }
    return true;
}

}  // namespace vavevard
