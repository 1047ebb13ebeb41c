// TCP states, for tests that must know a connect is under way before they act.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace vavevar::test {

// True when some socket of this machine is connecting (SYN sent, no answer
// yet) to 127.0.0.1:`port`.
inline bool connecting_to(std::uint16_t port) {
    char remote[32];
    std::snprintf(remote, sizeof remote, "0100007F:%04X", static_cast<unsigned>(port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the column titles
    while (std::getline(table, line)) {
        char local_column[64], remote_column[64], state[8];
        if (std::sscanf(line.c_str(), "%*s %63s %63s %7s", local_column, remote_column, state) != 3)
            continue;
        if (remote == std::string(remote_column) && std::string(state) == "02") return true;
    }
    return false;
}

// A loopback listener whose backlog one finished, never accepted connection
// fills: the kernel then drops every further SYN, so a connect to it stays
// under way until the system's time-out of about two minutes, as with a
// daemon that stopped accepting.
class FullListener {
public:
    FullListener() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address_.sin_family = AF_INET;
        address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address_;
        ::bind(listener_, address(), length);
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address_), &length);
        ::listen(listener_, 0);
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        filled_ = ::connect(filler_, address(), sizeof address_) == 0;
    }
    ~FullListener() {
        ::close(filler_);
        ::close(listener_);
    }
    FullListener(const FullListener &) = delete;
    FullListener &operator=(const FullListener &) = delete;

    bool filled() const { return filled_; }
    std::uint16_t port() const { return ntohs(address_.sin_port); }
    const sockaddr *address() const { return reinterpret_cast<const sockaddr *>(&address_); }
    socklen_t length() const { return sizeof address_; }

private:
    int listener_ = -1, filler_ = -1;
    bool filled_ = false;
    sockaddr_in address_{};
};

}  // namespace vavevar::test
