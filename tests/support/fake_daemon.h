// A scriptable stand-in for the notification daemon, for tests of the
// library's network behaviour (README.md has an example).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/daemon_wire.h"

namespace vavevar::test {

// Listens on 127.0.0.1 and, where the machine has it, ::1 on one ephemeral
// port, and serves one connection at a time on its own thread (a client that
// connects meanwhile waits in the backlog). Any thread may call any member;
// waits return false when their time-out passes.
class FakeDaemon {
public:
    static constexpr std::chrono::milliseconds kDefaultWait{5000};

    FakeDaemon();
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon &) = delete;
    FakeDaemon &operator=(const FakeDaemon &) = delete;

    std::uint16_t port() const { return port_; }

    // The connect reply (by default handshake_reply()), and replies used in
    // order before it; nullopt sends nothing.
    void set_handshake_reply(std::optional<std::string> reply);
    void queue_handshake_reply(std::optional<std::string> reply);
    // Answers later subscribes with this Result and Message; nullopt stops.
    void answer_subscribes(std::optional<std::string> result,
                           std::optional<std::string> message = std::nullopt);

    // Queues bytes for the client, behind any queued reply; false with none.
    bool send(std::string bytes);
    // While stopped, nothing is received and the client's sends block.
    void stop_reading();
    void resume_reading();
    // Closes the connection once what was queued is written as far as the
    // socket takes it without blocking; false with no client or on time-out.
    bool drop(std::chrono::milliseconds timeout = kDefaultWait);

    bool wait_for_requests(std::size_t count, std::chrono::milliseconds timeout = kDefaultWait);
    bool wait_for_requests(Request::Kind kind, std::size_t count,
                           std::chrono::milliseconds timeout = kDefaultWait);
    bool wait_for_connections(std::size_t count, std::chrono::milliseconds timeout = kDefaultWait);
    bool wait_for_disconnections(std::size_t count,
                                 std::chrono::milliseconds timeout = kDefaultWait);

    std::vector<Request> requests() const;
    std::vector<Request> requests(Request::Kind kind) const;
    // Every byte received, over all connections.
    std::string received() const;
    std::size_t connections() const;

private:
    void run();
    void wake();
    void accept_client(int listener);
    void receive();
    void take(std::string_view bytes, bool scripted);
    void write_pending();
    void close_client();
    template <typename Done>
    bool wait_until(std::chrono::milliseconds timeout, Done done);

    int listener4_ = -1, listener6_ = -1, wake_fd_ = -1;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Everything below is guarded by mutex_. The loop thread does its
    // non-blocking socket work under the lock and releases it only in poll().
    bool stopping_ = false, reading_ = true, drop_requested_ = false;
    std::optional<std::string> default_reply_ = handshake_reply();
    std::deque<std::optional<std::string>> queued_replies_;
    std::optional<StatusMessage> subscribe_answer_;
    int client_ = -1;
    bool client_hung_up_ = false;  // seen while not reading; polled again on resume
    RequestParser parser_;
    std::string outgoing_, received_;
    std::vector<Request> requests_;
    std::size_t connections_ = 0, disconnections_ = 0;

    std::thread thread_;
};

}  // namespace vavevar::test
