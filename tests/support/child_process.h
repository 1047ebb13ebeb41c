// A child process with piped output (and optionally input), bounded waits,
// and a destructor that kills and reaps it. Should the test process die
// without its destructors, the kernel kills the child too: it is bound to the
// thread that started it, so start children from a thread that outlives them.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

extern char **environ;

namespace vavevar::test {

class ChildProcess {
public:
    static constexpr int kWaitMs = 5000;

    // The test's own environment with `changes` ("NAME=value") applied.
    static std::vector<std::string> environment_with(const std::vector<std::string> &changes) {
        std::vector<std::string> env = changes;
        for (char **e = environ; *e != nullptr; ++e)
            if (std::none_of(changes.begin(), changes.end(), [e](const std::string &c) {
                    return std::strncmp(*e, c.c_str(), c.find('=') + 1) == 0;
                }))
                env.push_back(*e);
        return env;
    }

    // Runs `path` with `args` in exactly the environment `env`.
    ChildProcess(const std::string &path, const std::vector<std::string> &args,
                 const std::vector<std::string> &env, bool pipe_stdin = false) {
        int out[2] = {-1, -1}, err[2] = {-1, -1}, in[2] = {-1, -1};
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 ||
            (pipe_stdin && ::pipe2(in, O_CLOEXEC) != 0)) {
            for (int fd : {out[0], out[1], err[0], err[1]})
                if (fd >= 0) ::close(fd);
            return;
        }
        std::vector<char *> argv{const_cast<char *>(path.c_str())}, envp;
        for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        for (auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            if (pipe_stdin) ::dup2(in[0], 0);
            ::execve(path.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        if (pipe_stdin) ::close(in[0]);
        out_ = out[0];
        err_ = err[0];
        in_ = in[1];
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {out_, err_, in_})
            if (fd >= 0) ::close(fd);
    }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return pid_; }
    bool signal(int sig) const { return pid_ > 0 && ::kill(pid_, sig) == 0; }

    bool write_stdin(const std::string &bytes) {
        for (std::size_t done = 0; in_ >= 0 && done < bytes.size();) {
            ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return in_ >= 0;
    }
    void close_stdin() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }

    // The next line without its line break; false on time-out or end.
    bool read_stdout_line(std::string &line, int waitMs = kWaitMs) {
        return next_line(out_, stdout_, out_taken_, line, waitMs);
    }
    bool read_stderr_line(std::string &line, int waitMs = kWaitMs) {
        return next_line(err_, stderr_, err_taken_, line, waitMs);
    }

    // Collects both outputs until closed, then reaps the child: its exit
    // status, 128 + the signal that ended it, or -1 on time-out.
    int wait(int waitMs = kWaitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (out_ >= 0 || err_ >= 0) {
            pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            int left = remaining(deadline);
            if (left <= 0 || ::poll(p, 2, left) <= 0) return -1;
            if (p[0].revents != 0) drain(out_, stdout_);
            if (p[1].revents != 0) drain(err_, stderr_);
        }
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Everything read so far.
    std::string stdout_, stderr_;

private:
    static int remaining(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
    }
    static void drain(int &fd, std::string &into) {
        char buffer[4096];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) into.append(buffer, static_cast<std::size_t>(n));
        if (n <= 0) ::close(std::exchange(fd, -1));
    }
    static bool next_line(int &fd, std::string &all, std::size_t &taken, std::string &line,
                          int waitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            std::size_t lf = all.find('\n', taken);
            if (lf != std::string::npos) {
                line = all.substr(taken, lf - taken);
                taken = lf + 1;
                return true;
            }
            if (fd < 0) return false;
            pollfd p{fd, POLLIN, 0};
            int left = remaining(deadline);
            if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
            drain(fd, all);
        }
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1, in_ = -1;
    std::size_t out_taken_ = 0, err_taken_ = 0;
};

}  // namespace vavevar::test
