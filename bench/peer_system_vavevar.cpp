// vavevar in the peer benchmark: the project's daemon and the library
// through its public header, as the end-to-end benchmark runs them.
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench_process.h"
#include "peer_system.h"
#include "vavevar.h"

namespace vavevar::bench {
namespace {

using vavevar::test::ChildProcess;

std::string type_of(const std::string &subject) {
    std::string type = "PEERS/";
    for (char c : subject) type += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return type;
}

class VavevarClient final : public PeerClient {
public:
    VavevarClient() {
        if (lumo_init() != 0) die("cannot start the library");
    }
    ~VavevarClient() override {
        lumo_publisher_close(publisher_);
        if (subscriber_ != nullptr) lumo_subscriber_close(subscriber_);
        // Writes out what is still queued for the daemon.
        lumo_shutdown();
    }

    void subscribe(const std::string &subject) override {
        char *status = nullptr;
        subscriber_ = lumo_subscriber_create_wtimeout(type_of(subject).c_str(), "peers", nullptr,
                                                      nullptr, &status, 10000);
        if (subscriber_ == nullptr)
            die(std::string("subscription refused: ") + (status ? status : "?"));
        std::free(status);
    }

    bool receive(int waitMs) override {
        lumo_notification *n = lumo_subscriber_receive(subscriber_, 1, waitMs);
        if (n == nullptr) return false;
        lumo_subscriber_relinquish(subscriber_, n);
        return true;
    }

    void publish(const std::string &subject, const std::string &body) override {
        if (publisher_ == nullptr) publisher_ = lumo_publisher_create("peers");
        if (subject != subject_) {
            subject_ = subject;
            type_ = type_of(subject);
        }
        lumo_notification *n = lumo_notification_create(type_.c_str(), body.data(),
                                                        static_cast<std::int32_t>(body.size()));
        if (publisher_ == nullptr || n == nullptr) die("out of memory");
        lumo_publisher_publish(publisher_, n);
    }

private:
    lumo_subscriber *subscriber_ = nullptr;
    lumo_publisher *publisher_ = nullptr;
    std::string subject_, type_;
};

std::unique_ptr<PeerServer> start_server() {
    std::string home = make_server_dir("vavevar");
    auto daemon = std::make_unique<ChildProcess>(
        VAVEVARD_PATH,
        std::vector<std::string>{"--port", "0", "--port-file", "-", "--home", home, "--log-level",
                                 "warn"},
        ChildProcess::environment_with({}));
    std::string port = expect_line(*daemon, "starting vavevard", 30000);
    auto env = ChildProcess::environment_with(
        {"TAMRIX_LUMO_PROXY_PORT=" + port, "TAMRIX_CONFIG_HOME=" + home});
    std::string description =
        "vavevard on port " + port + " (pid " + std::to_string(daemon->pid()) + ")";
    return std::make_unique<PeerServer>(std::move(daemon), home, std::move(env), description);
}

std::unique_ptr<PeerClient> connect(Sending) { return std::make_unique<VavevarClient>(); }

}  // namespace

const PeerSystem kVavevarSystem{"vavevar", start_server, connect};

}  // namespace vavevar::bench
