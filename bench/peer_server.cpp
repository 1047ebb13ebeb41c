// Stopping a peer benchmark's server and the directory it ran in.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "bench_process.h"
#include "peer_system.h"

namespace vavevar::bench {

PeerServer::~PeerServer() {
    if (!stopped_) stop();
}

int PeerServer::stop() {
    stopped_ = true;
    // By its PID only; the child's own destructor kills what did not stop.
    process_->signal(stopSignal_);
    int status = process_->wait(10000);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    return status;
}

std::string make_server_dir(const std::string &system) {
    std::string pattern = "/tmp/vavevar-peers-" + system + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) die("cannot make a directory for " + system);
    return pattern;
}

}  // namespace vavevar::bench
