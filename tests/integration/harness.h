// Fixtures for the integration tests: the real daemon as a child process on a
// port of its own choosing, the command-line tool as further processes, and
// the library started in the test process against that daemon.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_home.h"
#include "vavevar.h"

namespace vavevar::test {

inline constexpr int kLongWaitMs = 15000;

// vavevard in a child process. Port 0 lets it pick a free port, which it
// reports on standard output; a later daemon may take that port again.
class RealDaemon {
public:
    explicit RealDaemon(const std::string &home, std::uint16_t port = 0) {
        std::vector<std::string> args{"--port", std::to_string(port), "--port-file", "-",
                                      "--home", home, "--instance-name", "it"};
        child_ = std::make_unique<ChildProcess>(VAVEVARD_PATH, args, ChildProcess::environment_with({}));
        std::string line;
        if (child_->read_stdout_line(line)) port_ = static_cast<std::uint16_t>(std::atoi(line.c_str()));
    }
    bool ok() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    // Stops it with SIGTERM; its exit status.
    int stop() {
        child_->signal(SIGTERM);
        return child_->wait();
    }
    const std::string &log() const { return child_->stderr_; }

private:
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

// The command-line tool in a child process, aimed at `port` with `home`.
inline std::unique_ptr<ChildProcess> run_tool(const std::vector<std::string> &args,
                                              std::uint16_t port, const std::string &home,
                                              bool pipe_stdin = false) {
    auto env = ChildProcess::environment_with(
        {"TAMRIX_LUMO_PROXY_PORT=" + std::to_string(port), "TAMRIX_CONFIG_HOME=" + home});
    return std::make_unique<ChildProcess>(VAVEVAR_TOOL_PATH, args, env, pipe_stdin);
}

// Runs `vavevar sub ... --verbose` and waits until the daemon has accepted its
// subscription; nullptr (with a test failure) when it has not.
inline std::unique_ptr<ChildProcess> start_tool_subscriber(std::vector<std::string> args,
                                                           std::uint16_t port,
                                                           const std::string &home) {
    args.insert(args.begin(), "sub");
    args.push_back("--verbose");
    auto child = run_tool(args, port, home);
    std::string line;
    if (!child->read_stderr_line(line, kLongWaitMs) ||
        line.rfind("vavevar sub: subscribed as ", 0) != 0) {
        ADD_FAILURE() << "the subscriber did not start: " << line << child->stderr_;
        return nullptr;
    }
    return child;
}

// A test with a daemon of its own and the library started in this process.
class IntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(daemon_->ok()) << daemon_->log();
        ASSERT_EQ(lumo_init_with_port(daemon_->port()), 0);
        started_ = true;
    }
    void TearDown() override {
        if (started_) lumo_shutdown();
    }

    lumo_subscriber *subscribe(const char *filter, const char *group = nullptr, bool deltas = false) {
        char *status = nullptr;
        lumo_subscriber *s = deltas ? lumo_subscriber_create_wdeltas(filter, "it", group, nullptr, &status)
                                    : lumo_subscriber_create_wtimeout(filter, "it", group, nullptr,
                                                                      &status, kLongWaitMs);
        EXPECT_NE(s, nullptr) << (status ? status : "no status");
        std::free(status);
        return s;
    }

    static void publish(lumo_publisher *p, const std::string &type,
                        const std::vector<std::pair<std::string, std::string>> &properties = {},
                        const std::string &body = "") {
        lumo_notification *n = lumo_notification_create(type.c_str(), body.data(),
                                                        static_cast<std::int32_t>(body.size()));
        for (const auto &[name, value] : properties)
            lumo_notification_setProperty(n, name.c_str(), value.c_str());
        lumo_publisher_publish(p, n);
    }

    // The next notification's type ("" when none comes in time) and, where
    // asked, its class, its body and its body block rendered as text.
    static std::string next(lumo_subscriber *s, std::string *block_text = nullptr,
                            std::int32_t *cls = nullptr, std::string *body_text = nullptr) {
        lumo_notification *n = lumo_subscriber_receive(s, 1, kLongWaitMs);
        if (n == nullptr) return "";
        std::string type = lumo_notification_type(n) ? lumo_notification_type(n) : "(null)";
        if (cls != nullptr) *cls = lumo_notification_getClass(n);
        std::int32_t length = 0;
        const char *body = lumo_notification_body(n, &length);
        if (body_text != nullptr) *body_text = body ? std::string(body, static_cast<std::size_t>(length)) : "";
        if (block_text != nullptr) {
            lumo_bb *block = lumo_bb_body2block(body, length);
            char *text = lumo_bb_toString(block);
            *block_text = text ? text : "<no body block>";
            std::free(text);
            lumo_bb_destroy(block);
        }
        lumo_subscriber_relinquish(s, n);
        return type;
    }

    TempHome home_;
    std::unique_ptr<RealDaemon> daemon_ = std::make_unique<RealDaemon>(home_.path());
    bool started_ = false;

private:
    ScopedEnv config_home_{"TAMRIX_CONFIG_HOME", home_.c_str()};
};

}  // namespace vavevar::test
