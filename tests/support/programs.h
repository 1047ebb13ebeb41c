// The daemon and the tool as child processes, for test targets given their
// paths by vavevar_test_programs().
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace vavevar::test {

#ifdef VAVEVARD_PATH
// vavevard on `port`, or with 0 on a free one; ok() once it has reported
// which. `args` come after the port's, `env` is its whole environment.
class DaemonProcess {
public:
    explicit DaemonProcess(std::vector<std::string> args, std::uint16_t port = 0,
                           const std::vector<std::string> &env = ChildProcess::environment_with({}))
        : child(VAVEVARD_PATH, with_port(std::move(args), port), env) {
        std::string line;
        if (child.read_stdout_line(line)) port_ = static_cast<std::uint16_t>(std::atoi(line.c_str()));
    }
    bool ok() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    // Its exit status after SIGTERM.
    int stop() {
        child.signal(SIGTERM);
        return child.wait();
    }
    const std::string &log() const { return child.stderr_; }

    ChildProcess child;

private:
    static std::vector<std::string> with_port(std::vector<std::string> args, std::uint16_t port) {
        args.insert(args.begin(), {"--port", std::to_string(port), "--port-file", "-"});
        return args;
    }
    std::uint16_t port_ = 0;
};
#endif

#ifdef VAVEVAR_TOOL_PATH
// The tool, given the daemon's port and the home directory the way a shell
// user would have them: in the environment.
inline std::unique_ptr<ChildProcess> run_tool(const std::vector<std::string> &args, std::uint16_t port,
                                              const std::string &home, bool pipe_stdin = false) {
    auto env = ChildProcess::environment_with(
        {"TAMRIX_LUMO_PROXY_PORT=" + std::to_string(port), "TAMRIX_CONFIG_HOME=" + home});
    return std::make_unique<ChildProcess>(VAVEVAR_TOOL_PATH, args, env, pipe_stdin);
}
#endif

}  // namespace vavevar::test
