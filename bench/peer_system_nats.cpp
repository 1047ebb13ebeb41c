// NATS in the peer benchmark: Debian's nats-server and the C client.
#include <nats/nats.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench_process.h"
#include "peer_system.h"

namespace vavevar::bench {
namespace {

using vavevar::test::ChildProcess;

constexpr const char *kUrlVariable = "PEERS_NATS_URL";

void check(natsStatus status, const std::string &what) {
    if (status != NATS_OK) die("nats: " + what + ": " + natsStatus_GetText(status));
}

class NatsClient final : public PeerClient {
public:
    explicit NatsClient(Sending sending) {
        const char *url = std::getenv(kUrlVariable);
        if (url == nullptr) die(std::string("nats: no ") + kUrlVariable);
        natsOptions *options = nullptr;
        check(natsOptions_Create(&options), "options");
        check(natsOptions_SetURL(options, url), "URL");
        check(natsOptions_SetAllowReconnect(options, false), "reconnect");
        // The client's own advice for a connection that answers one message
        // at a time; without it a publication waits for the flusher thread.
        check(natsOptions_SetSendAsap(options, sending == Sending::prompt), "send at once");
        check(natsConnection_Connect(&connection_, options), "connecting to " + std::string(url));
        natsOptions_Destroy(options);
    }
    ~NatsClient() override {
        // Flush is a round trip to the server: everything before it has been taken.
        if (published_) check(natsConnection_Flush(connection_), "flushing");
        natsSubscription_Destroy(subscription_);
        natsConnection_Destroy(connection_);
        nats_Close();
    }

    void subscribe(const std::string &subject) override {
        check(
            natsConnection_SubscribeSync(&subscription_, connection_, ("peers." + subject).c_str()),
            "subscribing");
        // The default holds 65,536 messages in the client before it drops;
        // a slow subscriber of a long flood must not lose any.
        check(natsSubscription_SetPendingLimits(subscription_, INT_MAX, INT_MAX), "pending limits");
        check(natsConnection_Flush(connection_), "confirming the subscription");
    }

    bool receive(int waitMs) override {
        for (;;) {
            natsMsg *message = nullptr;
            natsStatus status = natsSubscription_NextMsg(&message, subscription_, waitMs);
            if (status == NATS_OK) {
                natsMsg_Destroy(message);
                return true;
            }
            if (status == NATS_TIMEOUT) return false;
            // Messages were dropped: the subscriber counts what did arrive.
            if (status != NATS_SLOW_CONSUMER) check(status, "receiving");
        }
    }

    void publish(const std::string &subject, const std::string &body) override {
        if (subject != subject_) {
            subject_ = subject;
            wireSubject_ = "peers." + subject;
        }
        check(natsConnection_Publish(connection_, wireSubject_.c_str(), body.data(),
                                     static_cast<int>(body.size())),
              "publishing");
        published_ = true;
    }

private:
    natsConnection *connection_ = nullptr;
    natsSubscription *subscription_ = nullptr;
    std::string subject_, wireSubject_;
    bool published_ = false;
};

std::string server_path() {
    for (const char *path : {"/usr/sbin/nats-server", "/usr/bin/nats-server"})
        if (::access(path, X_OK) == 0) return path;
    die("no nats-server (Debian's nats-server package)");
}

std::unique_ptr<PeerServer> start_server() {
    std::string dir = make_server_dir("nats");
    // Port -1: the server picks a free one and says which in its log.
    auto server = std::make_unique<ChildProcess>(
        server_path(),
        std::vector<std::string>{"-a", "127.0.0.1", "-p", "-1", "--pid", dir + "/nats.pid"},
        ChildProcess::environment_with({}));
    const std::string listening = "Listening for client connections on ";
    std::string port;
    for (std::string line; port.empty();) {
        if (!server->read_stderr_line(line, 30000))
            die("nats-server did not start: " + server->stderr_);
        std::size_t at = line.find(listening);
        if (at != std::string::npos) port = line.substr(line.rfind(':') + 1);
    }
    for (std::string line; line.find("Server is ready") == std::string::npos;)
        if (!server->read_stderr_line(line, 30000))
            die("nats-server did not get ready: " + server->stderr_);
    auto env =
        ChildProcess::environment_with({std::string(kUrlVariable) + "=nats://127.0.0.1:" + port});
    std::string description =
        "nats-server on port " + port + " (pid " + std::to_string(server->pid()) + ")";
    // It ends with status 1 on SIGTERM, and 0 only on SIGINT.
    return std::make_unique<PeerServer>(std::move(server), dir, std::move(env), description,
                                        SIGINT);
}

std::unique_ptr<PeerClient> connect(Sending sending) {
    return std::make_unique<NatsClient>(sending);
}

}  // namespace

const PeerSystem kNatsSystem{"NATS", start_server, connect};

}  // namespace vavevar::bench
