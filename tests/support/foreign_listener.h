// A TCP listener on 127.0.0.1 held by another user: a child process that
// takes uid and gid 65534 (nobody) before it makes the socket, so that the
// kernel names that user as its owner. It accepts (unless told not to),
// reads each connection to its end and reports what came. Needs root to
// change user; stopped by its pid.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace vavevar::test {

inline constexpr uid_t kNobodyUid = 65534;

class ForeignListener {
public:
    // `port` 0: one of the system's choosing. With `accepting` false the
    // connections stay in the backlog, never accepted.
    explicit ForeignListener(std::uint16_t port = 0, bool accepting = true, uid_t uid = kNobodyUid) {
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(report[0]);
            serve(report[1], port, accepting, uid);
        }
        ::close(report[1]);
        if (pid_ < 0) {
            ::close(report[0]);
            return;
        }
        report_ = report[0];
        std::uint16_t bound = 0;
        if (read_all(&bound, sizeof bound) && bound != 0) port_ = bound;
    }
    ~ForeignListener() { stop(); }
    ForeignListener(const ForeignListener &) = delete;
    ForeignListener &operator=(const ForeignListener &) = delete;

    bool ok() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }

    // Waits for the next connection to end; false when none ended in time.
    // `bytes` is what it carried.
    bool next_connection(std::size_t &bytes, int timeout_ms = 10000) {
        pollfd p{report_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1) return false;
        std::uint64_t count = 0;
        if (!read_all(&count, sizeof count)) return false;
        bytes = static_cast<std::size_t>(count);
        return true;
    }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (report_ >= 0) ::close(report_);
        report_ = -1;
    }

private:
    // The child: only system calls from here on.
    [[noreturn]] static void serve(int report, std::uint16_t port, bool accepting, uid_t uid) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(1);
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            ::_exit(1);
        const std::uint16_t bound = ntohs(address.sin_port);
        if (::write(report, &bound, sizeof bound) != sizeof bound) ::_exit(1);
        for (;;) {
            if (!accepting) {
                ::pause();
                continue;
            }
            int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::uint64_t count = 0;
            char buffer[4096];
            for (ssize_t n; (n = ::read(client, buffer, sizeof buffer)) > 0;) count += static_cast<std::uint64_t>(n);
            ::close(client);
            if (::write(report, &count, sizeof count) != sizeof count) ::_exit(1);
        }
    }

    bool read_all(void *into, std::size_t size) {
        auto *at = static_cast<char *>(into);
        while (size > 0) {
            ssize_t n = ::read(report_, at, size);
            if (n <= 0) return false;
            at += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    pid_t pid_ = -1;
    int report_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace vavevar::test
