// Real nats-server processes for the cluster tests: three servers routed to
// each other on free loopback ports, each stopped by its process id, and
// vavevard nodes joined through them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon_harness.h"
#include "support/programs.h"
#include "support/temp_home.h"

namespace vavevard::test {

using vavevar::test::ChildProcess;
using vavevar::test::DaemonProcess;
using vavevar::test::TempHome;

inline std::uint16_t free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// What an HTTP GET of `path` on the loopback `port` answers, or "".
inline std::string http_get(std::uint16_t port, const std::string &path) {
    RawClient c(port);
    if (!c.ok() || !c.send("GET " + path + " HTTP/1.0\r\nHost: x\r\n\r\n")) return {};
    std::string all;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::recv(c.fd(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

template <typename F>
bool eventually(F &&f, int ms = 10000) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (f()) return true;
    return f();
}

class NatsCluster {
public:
    explicit NatsCluster(std::size_t size = 3) {
        for (std::size_t i = 0; i < size; ++i) servers_.push_back({free_port(), free_port(), free_port(), nullptr});
        for (std::size_t i = 0; i < size; ++i) start(i);
    }
    // Every server routed to every other.
    bool routed() {
        return eventually([&] {
            for (auto &s : servers_) {
                if (!s.process) continue;
                std::string routez = http_get(s.monitor, "/routez");
                if (routez.find("\"num_routes\": " + std::to_string(alive() - 1)) == std::string::npos) return false;
            }
            return true;
        });
    }
    std::string url(std::size_t i) const { return "nats://127.0.0.1:" + std::to_string(servers_[i].client); }
    // The servers from `first` on, wrapping round: a node's nearest first.
    std::string urls_from(std::size_t first) const {
        std::string out;
        for (std::size_t k = 0; k < servers_.size(); ++k) out += (k ? "," : "") + url((first + k) % servers_.size());
        return out;
    }
    void kill(std::size_t i) { servers_[i].process.reset(); }  // SIGKILL, by its pid
    void signal(std::size_t i, int sig) { servers_[i].process->signal(sig); }
    // Starts server `i` again on its ports.
    bool start(std::size_t i) {
        Server &s = servers_[i];
        std::string routes;
        for (std::size_t k = 0; k < servers_.size(); ++k)
            if (k != i) routes += (routes.empty() ? "" : ",") + std::string("nats://127.0.0.1:") + std::to_string(servers_[k].route);
        s.process = std::make_unique<ChildProcess>(
            "/usr/sbin/nats-server",
            std::vector<std::string>{"-a", "127.0.0.1", "-p", std::to_string(s.client), "-m", std::to_string(s.monitor),
                                     "--cluster", "nats://127.0.0.1:" + std::to_string(s.route), "--cluster_name", "c17test",
                                     "--routes", routes},
            ChildProcess::environment_with({}));
        return eventually([&] { return RawClient(s.client).ok(); }, 5000);
    }

private:
    struct Server {
        std::uint16_t client, route, monitor;
        std::unique_ptr<ChildProcess> process;
    };
    std::size_t alive() const {
        std::size_t n = 0;
        for (auto &s : servers_) n += s.process ? 1 : 0;
        return n;
    }
    std::vector<Server> servers_;
};

// A vavevard node of a cluster, with short heartbeats so tests stay quick.
struct Node {
    TempHome home;
    std::unique_ptr<DaemonProcess> daemon;
    Node(const std::string &name, const std::string &urls, std::vector<std::string> more = {}) {
        std::vector<std::string> args{"--home", home.path(), "--cluster", urls, "--node", name,
                                      "--cluster-heartbeat-ms", "200", "--cluster-grace-ms", "1500",
                                      "--replay-window-ms", "0", "--log-level", "debug"};
        args.insert(args.end(), more.begin(), more.end());
        daemon = std::make_unique<DaemonProcess>(args, 0, ChildProcess::environment_with({"TAMRIX_HOME=", "TAMRIX_CONFIG_HOME="}));
    }
    std::uint16_t port() const { return daemon->port(); }
    std::string stat(const std::string &name) const {
        RawClient c(port());
        return c.stat(name);
    }
};

inline std::unique_ptr<RawClient> connected(std::uint16_t port) {
    auto c = std::make_unique<RawClient>(port);
    return c->handshake() ? std::move(c) : nullptr;
}

}  // namespace vavevard::test
