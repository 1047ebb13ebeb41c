// Starting and stopping the cross-node benchmark's nats-servers and daemons.
#include "cluster_nodes.h"

#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_process.h"

namespace vavevar::bench {
namespace {

using vavevar::test::ChildProcess;

std::string nats_server_path() {
    for (const char *path : {"/usr/sbin/nats-server", "/usr/bin/nats-server"})
        if (::access(path, X_OK) == 0) return path;
    die("no nats-server (Debian's nats-server package)");
}

// The port in `"key":["scheme://HOST:PORT"]` of the server's ports file.
std::string port_of(const std::string &ports, const std::string &key) {
    std::size_t at = ports.find("\"" + key + "\":[\"");
    if (at == std::string::npos) return {};
    std::size_t end = ports.find('"', at + key.size() + 5);
    std::size_t colon = ports.rfind(':', end);
    return end == std::string::npos ? std::string{} : ports.substr(colon + 1, end - colon - 1);
}

// With port -1 the server picks free ports itself and writes them, once it
// listens on all of them, to a file in `dir`: no port is chosen here that
// another process could take first.
std::string read_ports(const std::string &dir, const ChildProcess &server) {
    for (int tries = 0; tries < 3000; ++tries) {
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator(dir, error)) {
            if (entry.path().extension() != ".ports") continue;
            std::ifstream file(entry.path());
            std::string ports((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
            if (!port_of(ports, "cluster").empty()) return ports;
        }
        if (!server.signal(0)) break;
        timespec pause{0, 10'000'000};
        ::nanosleep(&pause, nullptr);
    }
    die("nats-server did not say its ports (log: " + dir + "/nats.log)");
}

}  // namespace

std::unique_ptr<PeerServer> start_daemon(const std::string &name,
                                         const std::vector<std::string> &args) {
    std::string home = make_server_dir("vavevard-" + name);
    std::vector<std::string> all{"--port", "0", "--port-file", "-", "--home", home, "--log-level",
                                 "warn", "--instance-name", name};
    all.insert(all.end(), args.begin(), args.end());
    auto daemon = std::make_unique<ChildProcess>(VAVEVARD_PATH, all,
                                                 ChildProcess::environment_with({}));
    std::string port;
    if (!daemon->read_stdout_line(port, 30000)) {
        daemon->wait(5000);
        die("vavevard " + name + " did not start: " + daemon->stderr_);
    }
    auto env = ChildProcess::environment_with(
        {"TAMRIX_LUMO_PROXY_PORT=" + port, "TAMRIX_CONFIG_HOME=" + home});
    std::string description = "vavevard " + name + " on port " + port + " (pid " +
                              std::to_string(daemon->pid()) + ")";
    return std::make_unique<PeerServer>(std::move(daemon), home, std::move(env), description);
}

ClusterNode start_cluster_node(const std::string &cluster, const std::string &node,
                               const std::vector<const ClusterNode *> &earlier,
                               const std::vector<std::string> &daemonArgs) {
    ClusterNode n;
    n.name = node;
    std::string natsDir = make_server_dir("nats-" + node);
    std::vector<std::string> args{"-a", "127.0.0.1", "-p", "-1", "--cluster",
                                  "nats://127.0.0.1:-1", "--cluster_name", cluster,
                                  "-n", "nats-" + node, "--ports_file_dir", natsDir,
                                  // Its log goes to a file: nobody reads a pipe of it.
                                  "-l", natsDir + "/nats.log"};
    std::string routes;
    for (const ClusterNode *other : earlier)
        routes += (routes.empty() ? "" : ",") + other->routeUrl;
    if (!routes.empty()) args.insert(args.end(), {"--routes", routes});
    auto nats = std::make_unique<ChildProcess>(nats_server_path(), args,
                                               ChildProcess::environment_with({}));
    std::string ports = read_ports(natsDir, *nats);
    n.natsUrl = "nats://127.0.0.1:" + port_of(ports, "nats");
    n.routeUrl = "nats://127.0.0.1:" + port_of(ports, "cluster");
    std::string natsDescription = "nats-server " + n.natsUrl + " routes " + n.routeUrl +
                                  " (pid " + std::to_string(nats->pid()) + ")";
    // It ends with status 1 on SIGTERM, and 0 only on SIGINT.
    n.nats = std::make_unique<PeerServer>(std::move(nats), natsDir,
                                          ChildProcess::environment_with({}), natsDescription,
                                          SIGINT);

    std::string servers = n.natsUrl;
    for (const ClusterNode *other : earlier) servers += "," + other->natsUrl;
    std::vector<std::string> joining{"--cluster", servers, "--node", node, "--cluster-name",
                                     cluster};
    joining.insert(joining.end(), daemonArgs.begin(), daemonArgs.end());
    n.daemon = start_daemon(node, joining);
    return n;
}

void stop_cluster_node(ClusterNode &node) {
    if (int rc = node.daemon->stop(); rc != 0)
        die("vavevard " + node.name + " exited with status " + std::to_string(rc));
    if (int rc = node.nats->stop(); rc != 0)
        die("nats-server of " + node.name + " exited with status " + std::to_string(rc));
}

}  // namespace vavevar::bench
