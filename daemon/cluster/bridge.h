// The daemon's link to its cluster: one NATS connection (libnats), the
// subscriptions that bring other nodes' events and control messages, a
// bridge thread that publishes what the event loop hands it, and the
// counters. The router and the event loop stay single-threaded: libnats's
// threads only ever touch the inbound queue (and a few atomics), the loop
// only the outbound queue.
//
// Thread rules: start(), stop(), on_wake(), on_timer(), forward(),
// members_changed() and stats() are for the event loop's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cluster_options.h"
#include "dedupe_window.h"
#include "inbound_queue.h"
#include "log.h"
#include "outbound_queue.h"
#include "remote_members.h"
#include "router.h"

struct __natsConnection;
struct __natsSubscription;
struct __natsMsg;
struct __natsOptions;

namespace vavevard::cluster {

// Events published last, sent again after the link comes back: those the
// dying connection had taken may never have reached a server.
inline constexpr std::size_t kResendEvents = 16384;
// Event identifiers remembered against duplicates, per node: more than it
// sends again after a reconnection, so what it sends again is recognised.
inline constexpr std::size_t kDedupeWindow = 32768;
// Events waiting in each direction, at most; in bytes, the outbound queue
// holds the reconnect buffer's bound (--cluster-reconnect-buffer-mib).
inline constexpr std::size_t kQueueEvents = 65536;
inline constexpr std::size_t kQueueBytes = 64 * 1024 * 1024;

class Bridge final : public ClusterLink {
public:
    // `node` is the node name (the host name when the options give none).
    Bridge(ClusterOptions options, std::string node, Router &router);
    ~Bridge() override;
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    // Connects to the first server of the list that answers, or goes on
    // trying in the background when none does (the daemon serves its
    // machine meanwhile); checks, when connected, that no running daemon of
    // the cluster has this node's name; subscribes and starts the bridge
    // thread. False with `error` set when the name is taken or the link
    // cannot be set up.
    bool start(std::string &error);

    // Readable when something from the cluster waits; on_wake() takes it.
    int wake_fd() const noexcept { return inbound_.fd(); }
    void on_wake();
    // Readable every heartbeat interval; on_timer() heartbeats and looks for
    // nodes silent past the grace period.
    int timer_fd() const noexcept { return timer_; }
    void on_timer();

    // Says goodbye, publishes what is still queued (for a moment at most)
    // and closes the link; the loop is not served meanwhile.
    void stop();

    void forward(const Notification &event) override;
    void members_changed(ClientId client, std::int32_t subscriberId, std::string_view reason) override;
    ClusterStats stats() const override;

    const std::string &instance() const noexcept { return instance_; }

private:
    struct Peer {
        std::string instance;
        bool alive = false;
        std::int64_t lastHeardMs = 0;   // monotonic
        std::uint64_t received = 0, duplicates = 0, unreadable = 0;
    };

    static void on_message(__natsConnection *, __natsSubscription *, __natsMsg *msg, void *self);
    static void on_name_check(__natsConnection *, __natsSubscription *, __natsMsg *msg, void *self);
    static void on_disconnected(__natsConnection *, void *self);
    static void on_reconnected(__natsConnection *, void *self);
    static void on_connected(__natsConnection *, void *self);
    static void on_closed(__natsConnection *, void *self);

    bool set_up_options(__natsOptions *opts, std::string &error);
    bool check_name(std::string &error);
    bool subscribe(const std::string &subject, Inbound::Kind kind, std::string &error);
    void publish_loop();
    // Publishes `o` to all its subjects.
    enum class Published { sent, refused, link_down };
    Published publish(const Outbound &o);
    bool connected() const;
    void handle(Inbound &item);
    void handle_event(Inbound &item);
    void heartbeat();
    void send_snapshot();
    Peer &peer(const std::string &node);
    void node_heard(const std::string &node, const std::string &instance, std::uint64_t seq);
    void node_gone(const std::string &node, const char *why);
    void apply(MemberChange &change);

    ClusterOptions options_;
    std::string node_;
    std::string instance_;   // random, per start: tells two daemons of one name apart
    Router &router_;
    InboundQueue inbound_;
    OutboundQueue outbound_;
    __natsConnection *nc_ = nullptr;
    struct Subscription {
        __natsSubscription *sub = nullptr;
        Inbound::Kind kind;
        Bridge *bridge;
    };
    std::vector<std::unique_ptr<Subscription>> subs_;
    std::thread publisher_;
    int timer_ = -1;

    // Written by libnats's or the bridge thread, read by the loop.
    std::atomic<bool> linkUp_{false};
    std::atomic<std::uint64_t> linkGeneration_{0};  // counts the link's comings back
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> disconnects_{0}, reconnects_{0}, forwarded_{0}, forwardDropped_{0};

    // The loop's own.
    std::map<std::string, DedupeWindow> dedupe_;  // by node
    std::map<std::string, Peer> peers_;
    std::uint64_t received_ = 0, duplicates_ = 0, unreadable_ = 0;
    RemoteMembers remote_;
    std::uint64_t memberSeq_ = 0;       // of this node's member snapshots
    // The local members in the last snapshot sent, and why those gone since left.
    std::set<std::pair<std::uint64_t, std::int32_t>> lastSent_;
    std::map<std::pair<std::uint64_t, std::int32_t>, std::string> leftReasons_;
    std::deque<Inbound> taken_;
    LogLimiter dropLog_, badLog_;
    bool stopped_ = false;
};

}  // namespace vavevard::cluster
