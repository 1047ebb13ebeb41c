// One messaging system as the peer benchmark runs it: its server as a child
// process of the driver, and the client each role process uses. The roles
// (peer_roles.cpp) are written once against PeerClient, so the three systems
// run exactly the same workloads.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace vavevar::bench {

// Throughput clients may hold publications back to send them in batches;
// ping-pong clients send each one as soon as it is published.
enum class Sending { bulk, prompt };

class PeerClient {
public:
    virtual ~PeerClient() = default;
    // Returns once the server has taken the subscription: whatever is
    // published after it reaches this client.
    virtual void subscribe(const std::string &subject) = 0;
    // The next message of the subscription within `waitMs`; false when none
    // came in that time.
    virtual bool receive(int waitMs) = 0;
    virtual void publish(const std::string &subject, const std::string &body) = 0;
    // Destroying a client hands everything it published to the server first.
};

// A server started on a free loopback port with a directory of its own;
// destroying it stops it as stop() does, if that has not been done.
class PeerServer {
public:
    PeerServer(std::unique_ptr<vavevar::test::ChildProcess> process, std::string dir,
               std::vector<std::string> clientEnvironment, std::string description,
               int stopSignal = SIGTERM)
        : process_(std::move(process)),
          dir_(std::move(dir)),
          clientEnvironment_(std::move(clientEnvironment)),
          description_(std::move(description)),
          stopSignal_(stopSignal) {}
    ~PeerServer();
    PeerServer(const PeerServer &) = delete;
    PeerServer &operator=(const PeerServer &) = delete;

    pid_t pid() const { return process_->pid(); }
    // Stops the server by its PID (with the signal it was given, SIGTERM by
    // default) and removes its directory.
    // Returns its exit status, 128 + the signal that ended it, or -1 when
    // it did not stop within 10 s (it is then killed).
    int stop();
    // The environment the role processes run in: it tells their clients
    // where the server is.
    const std::vector<std::string> &client_environment() const { return clientEnvironment_; }
    const std::string &description() const { return description_; }

private:
    std::unique_ptr<vavevar::test::ChildProcess> process_;
    std::string dir_;
    std::vector<std::string> clientEnvironment_;
    std::string description_;
    int stopSignal_;
    bool stopped_ = false;
};

// A new directory under /tmp for one server.
std::string make_server_dir(const std::string &system);

struct PeerSystem {
    const char *name;
    std::unique_ptr<PeerServer> (*start_server)();
    // In a role process, from the environment the driver gave it.
    std::unique_ptr<PeerClient> (*connect)(Sending sending);
};

extern const PeerSystem kVavevarSystem;
extern const PeerSystem kNatsSystem;
extern const PeerSystem kRedisSystem;

}  // namespace vavevar::bench
