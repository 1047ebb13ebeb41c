// Fixtures for the integration tests: the real daemon as a child process on a
// port of its own choosing, the command-line tool as further processes, and
// the library started in the test process against that daemon.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/programs.h"
#include "support/temp_home.h"
#include "vavevar.h"

namespace vavevar::test {

inline constexpr int kLongWaitMs = 15000;

// What a subscriber received ("" for a type when nothing came in time).
struct Received {
    std::string type, body, block;  // the body block rendered as text
    std::int32_t cls = -1;
};

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

    std::unique_ptr<DaemonProcess> start_daemon(std::uint16_t port = 0) const {
        return std::unique_ptr<DaemonProcess>(new DaemonProcess({"--home", home_.path(), "--instance-name", "it"}, port));
    }
    std::unique_ptr<ChildProcess> tool(const std::vector<std::string> &args, bool pipe_stdin = false) const {
        return run_tool(args, daemon_->port(), home_.path(), pipe_stdin);
    }
    // `vavevar sub ARGS --verbose`, once the daemon has accepted its subscription.
    std::unique_ptr<ChildProcess> tool_subscriber(std::vector<std::string> args) const {
        args.insert(args.begin(), "sub");
        args.push_back("--verbose");
        auto child = tool(args);
        std::string line;
        if (child->read_stderr_line(line, kLongWaitMs) && line.rfind("vavevar sub: subscribed as ", 0) == 0)
            return child;
        ADD_FAILURE() << "the subscriber did not start: " << line << child->stderr_;
        return nullptr;
    }

    lumo_subscriber *subscribe(const char *filter, const char *group = nullptr, bool deltas = false) {
        char *status = nullptr;
        lumo_subscriber *s = deltas ? lumo_subscriber_create_wdeltas(filter, "it", group, nullptr, &status)
                                    : lumo_subscriber_create_wtimeout(filter, "it", group, nullptr, &status, kLongWaitMs);
        EXPECT_NE(s, nullptr) << (status ? status : "no status");
        std::free(status);
        return s;
    }
    static void publish(lumo_publisher *p, const std::string &type,
                        const std::vector<std::pair<std::string, std::string>> &properties = {},
                        const std::string &body = "") {
        lumo_notification *n = lumo_notification_create(type.c_str(), body.data(), static_cast<std::int32_t>(body.size()));
        for (const auto &[name, value] : properties) lumo_notification_setProperty(n, name.c_str(), value.c_str());
        lumo_publisher_publish(p, n);
    }
    static Received next(lumo_subscriber *s) {
        Received r;
        lumo_notification *n = lumo_subscriber_receive(s, 1, kLongWaitMs);
        if (n == nullptr) return r;
        r.type = lumo_notification_type(n) ? lumo_notification_type(n) : "(null)";
        r.cls = lumo_notification_getClass(n);
        std::int32_t length = 0;
        const char *body = lumo_notification_body(n, &length);
        r.body = body ? std::string(body, static_cast<std::size_t>(length)) : "";
        lumo_bb *block = lumo_bb_body2block(body, length);
        char *text = block ? lumo_bb_toString(block) : nullptr;
        r.block = text ? text : "<no body block>";
        std::free(text);
        lumo_bb_destroy(block);
        lumo_subscriber_relinquish(s, n);
        return r;
    }

    TempHome home_;
    std::unique_ptr<DaemonProcess> daemon_ = start_daemon();
    bool started_ = false;

private:
    ScopedEnv config_home_{"TAMRIX_CONFIG_HOME", home_.c_str()};
};

}  // namespace vavevar::test
