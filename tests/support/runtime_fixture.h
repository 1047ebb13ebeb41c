// Shared set-up of the runtime tests: a temporary home in the environment, a
// fake daemon, and a library that is always stopped again afterwards.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "runtime/lifecycle.h"
#include "runtime/runtime_state.h"
#include "support/fake_daemon.h"
#include "support/temp_home.h"
#include "vavevar.h"

namespace vavevar::test {

// A loopback port with nothing listening on it (while nobody else takes it).
inline std::uint16_t unused_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Each test process takes its own start-up mutex, so that tests running side
// by side do not hold up each other's start and stop.
inline const char *private_global_mutex() {
    static const std::string path = std::filesystem::temp_directory_path() /
                                    ("vavevar-test-" + std::to_string(::getpid()));
    return path.c_str();
}

class RuntimeTest : public ::testing::Test {
protected:
    RuntimeTest() { lumo_runtime_set_global_mutex_dir(private_global_mutex()); }
    static void TearDownTestSuite() {
        std::error_code ignored;
        std::filesystem::remove_all(private_global_mutex(), ignored);
    }

    void TearDown() override {
        while (lumo_runtime_current() != nullptr) ::lumo_shutdown_nowait();
    }

    void start_connected() {
        ASSERT_EQ(::lumo_init_with_port(daemon.port()), 0);
        ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::connect, 1));
        ASSERT_TRUE(wait_link_up());
    }

    static bool wait_link_up(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < timeout) {
            char *name = nullptr;
            ::lumo_get_instancename(&name);  // waits for the link itself
            bool up = name != nullptr;
            std::free(name);
            if (up) return true;
        }
        return false;
    }

    TempHome home;
    ScopedEnv config_home{"TAMRIX_CONFIG_HOME", nullptr};
    ScopedEnv tamrix_home{"TAMRIX_HOME", home.c_str()};
    ScopedEnv port_env{"TAMRIX_LUMO_PROXY_PORT", nullptr};
    FakeDaemon daemon;
};

}  // namespace vavevar::test
