// A scriptable stand-in for the notification daemon, for tests of the
// library's network behaviour. See tests/support/README.md for an example.
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
// port, and serves one client connection at a time on its own thread: a
// client that connects while another is served waits in the backlog until
// that one ends. It answers each connect request with the scripted handshake
// reply, records every byte received and the requests parsed from them, and
// sends whatever a test asks it to.
//
// Thread safety: every member function may be called from any thread. Waits
// take a time-out and return false when it passes. The destructor stops the
// thread and closes every descriptor.
class FakeDaemon {
public:
    static constexpr std::chrono::milliseconds kDefaultWait{5000};

    struct Options {
        // Sent after every connect request unless queue_handshake_reply()
        // scripted that connection; nullopt sends nothing.
        std::optional<std::string> handshake_reply = vavevar::test::handshake_reply();
        // Receive buffer of the served connections in bytes (0: the system's
        // default). A small one makes the client's sends block sooner once
        // stop_reading() is in force.
        int receive_buffer = 0;
    };

    FakeDaemon();
    explicit FakeDaemon(Options options);
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon &) = delete;
    FakeDaemon &operator=(const FakeDaemon &) = delete;

    std::uint16_t port() const { return port_; }
    // False where ::1 could not be bound and only 127.0.0.1 listens.
    bool listens_on_ipv6() const { return listener6_ != -1; }

    // Script of the connect replies: the default for every connection, and
    // replies for the next connect requests, used in order before the default.
    void set_handshake_reply(std::optional<std::string> reply);
    void queue_handshake_reply(std::optional<std::string> reply);
    // Answers every later subscribe request with a status message that carries
    // the request's SubscriberID, this Result and, when given, this Message.
    // nullopt stops answering.
    void answer_subscribes(std::optional<std::string> result,
                           std::optional<std::string> message = std::nullopt);

    // Queues bytes for the client being served; false when there is none.
    // Bytes are sent in the order queued, after any reply already queued.
    bool send(std::string bytes);
    // While reading is stopped nothing is received, so the client's sends
    // block once the socket buffers are full; resuming receives what waited.
    void stop_reading();
    void resume_reading();
    // Closes the connection being served, after writing what was queued for it
    // as far as the socket takes without blocking. Returns once it is closed:
    // false when no client was connected or the time-out passed.
    bool drop(std::chrono::milliseconds timeout = kDefaultWait);
    // Drops the connection once `count` more requests have been received (and
    // any reply to the last of them queued); 0 cancels.
    void drop_after_requests(std::size_t count);

    bool wait_for_requests(std::size_t count, std::chrono::milliseconds timeout = kDefaultWait);
    bool wait_for_requests(Request::Kind kind, std::size_t count,
                           std::chrono::milliseconds timeout = kDefaultWait);
    bool wait_for_bytes(std::size_t count, std::chrono::milliseconds timeout = kDefaultWait);
    // Connections accepted, and connections ended (by either side), so far.
    bool wait_for_connections(std::size_t count, std::chrono::milliseconds timeout = kDefaultWait);
    bool wait_for_disconnections(std::size_t count,
                                 std::chrono::milliseconds timeout = kDefaultWait);

    std::vector<Request> requests() const;
    std::vector<Request> requests(Request::Kind kind) const;
    // Every byte received, over all connections, in arrival order.
    std::string received() const;
    std::size_t connections() const;
    std::size_t disconnections() const;
    bool client_connected() const;

private:
    void run();
    void wake();
    void accept_client(int listener);
    void receive();
    // Records received bytes; `scripted` also queues the scripted replies and
    // counts towards drop_after_requests().
    void take(std::string_view bytes, bool scripted);
    void queue_reply_to(const Request &request);
    void write_pending();
    void close_client();
    template <typename Done>
    bool wait_until(std::chrono::milliseconds timeout, Done done);

    int listener4_ = -1;
    int listener6_ = -1;
    int wake_fd_ = -1;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Everything below is guarded by mutex_. The loop thread does its
    // non-blocking socket work under the lock and releases it only in poll().
    bool stopping_ = false;
    bool reading_ = true;
    bool drop_requested_ = false;
    std::size_t drop_countdown_ = 0;
    std::optional<std::string> default_reply_;
    std::deque<std::optional<std::string>> queued_replies_;
    std::optional<StatusMessage> subscribe_answer_;
    int client_ = -1;
    bool client_hung_up_ = false;  // seen while not reading; polled again on resume
    RequestParser parser_;
    std::string outgoing_;
    std::string received_;
    std::vector<Request> requests_;
    std::size_t connections_ = 0;
    std::size_t disconnections_ = 0;

    std::thread thread_;
};

}  // namespace vavevar::test
