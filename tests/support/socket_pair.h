// A connected pair of local sockets: the library's side, and a peer the test
// drives directly. With SOCK_SEQPACKET every send call arrives as one packet,
// so a test can count the sends the library made.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/wire_client.h"

namespace vavevar::test {

class SocketPair {
public:
    explicit SocketPair(int type = SOCK_STREAM) {
        int fds[2];
        if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) == 0) {
            library_ = fds[0];
            peer_ = fds[1];
        }
    }
    ~SocketPair() {
        if (library_ >= 0) ::close(library_);
        close_peer();
    }
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;

    int library() const { return library_; }

    // Sends from the peer's side; returns false when not everything went out.
    bool peer_send(const std::string &bytes) const { return send_all(peer_, bytes); }

    // What the peer receives with gaps of at most `waitMs`, one string per
    // receive call (per packet on SOCK_SEQPACKET).
    std::vector<std::string> peer_receive(int waitMs = 100) const {
        std::vector<std::string> pieces;
        pollfd p{peer_, POLLIN, 0};
        while (::poll(&p, 1, waitMs) > 0) {
            std::string piece(256 * 1024, '\0');
            ssize_t n = ::recv(peer_, piece.data(), piece.size(), 0);
            if (n <= 0) break;
            piece.resize(static_cast<std::size_t>(n));
            pieces.push_back(std::move(piece));
        }
        return pieces;
    }

    std::string peer_receive_all(int waitMs = 100) const {
        std::string all;
        for (const std::string &piece : peer_receive(waitMs)) all += piece;
        return all;
    }

    void close_peer() {
        if (peer_ >= 0) ::close(peer_);
        peer_ = -1;
    }

private:
    int library_ = -1;
    int peer_ = -1;
};

}  // namespace vavevar::test
