// The daemon's state and rules, independent of sockets: connections and their
// subscriptions, routing of events to matching subscribers, membership groups,
// the protocol's answers and the counters. The server feeds it parsed requests
// and writes out what it queues.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/cluster_stats.h"
#include "notification.h"
#include "filter.h"
#include "log.h"
#include "request_limits.h"
#include "membership.h"
#include "memory_account.h"
#include "outqueue.h"
#include "replay_store.h"
#include "request.h"
#include "subscription_index.h"

namespace vavevard {

struct Stats {
    std::uint64_t connectionsAccepted = 0;
    std::uint64_t clients = 0;               // connections past a successful handshake
    std::uint64_t subscriptions = 0;
    std::uint64_t subscribesRefused = 0;
    std::uint64_t eventsIn = 0;
    std::uint64_t eventsOut = 0;             // event messages queued for subscribers
    std::uint64_t eventsUnmatched = 0;       // published events no subscriber wanted
    std::uint64_t eventsDropped = 0;         // unroutable, or for a client being dropped
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    std::uint64_t malformedDisconnects = 0;
    std::uint64_t slowConsumerDisconnects = 0;  // output waiting, none taken for the time-out
    std::uint64_t eventsSkipped = 0;          // not queued for a client over its output bound
    std::uint64_t gapNotices = 0;             // told to subscribers once their client read again
    std::uint64_t eventsHeld = 0;             // kept in the replay window
    std::uint64_t eventsNotHeld = 0;          // received in the window, but did not fit
    std::uint64_t eventsReplayed = 0;         // replay messages queued for resubscriptions
    std::uint64_t filterTests = 0;            // filters evaluated against events
    std::uint64_t filterBudgetExceeded = 0;   // evaluations given up as too costly
    std::uint64_t connectionsRefused = 0;     // shed at accept, or refused at connect
    std::uint64_t timeoutDisconnects = 0;     // no handshake in time, or idle too long
    std::uint64_t memoryDisconnects = 0;      // dropped to bring the daemon under its bound
    std::uint64_t allocationFailures = 0;     // requests or clients given up for lack of memory
};

struct RouterConfig {
    std::string instanceName;
    std::string daemonId;       // host:pid
    std::string version;        // of the daemon
    Limits limits;
    ReplayWindow replay;        // none unless asked for
};

struct Subscription {
    Filter filter;
    std::string text;
    std::string component;
    std::string group;          // empty: no membership interest
    bool deltas = false;
    std::size_t propertyBytes = 0;  // of the member's properties, kept by the group
    std::size_t filterBytes = 0;    // the compiled filter's memory
    std::uint64_t skipped = 0;       // events skipped since its last gap notice
    std::uint64_t skippedTotal = 0;  // events skipped since it was made
    std::uint64_t delivered = 0;    // events its filter matched and that were queued for it
    std::size_t text_bytes() const noexcept { return text.size() + component.size() + group.size(); }
};

struct Client {
    ClientId id = 0;
    std::string peer;
    std::optional<std::uint32_t> uid;  // the peer's owner, as the kernel says
    std::int32_t pid = 0;              // as the self identifier says; 0 unknown
    std::uint64_t bytesIn = 0, bytesOut = 0;  // read from and written to its socket
    bool connected = false;     // handshake done
    std::string selfId;
    std::string formFactor;
    std::map<std::int32_t, Subscription> subscriptions;
    std::size_t subscriptionTextBytes = 0;  // what the subscriptions keep, for the bounds
    std::size_t memberPropertyBytes = 0;
    std::size_t filterBytes = 0;            // of the compiled filters
    OutQueue out;
    AccountedBytes outputHeld;  // what `out` holds, shared bodies apart
    AccountedBytes keptHeld;    // what the subscriptions keep
    // Over its output bound: events for it are skipped, and counted per
    // subscription, until its output is down to the low-water mark.
    bool skipping = false;
    bool writeScheduled = false;  // listed for writing, or waiting for the socket
    bool closeWhenFlushed = false;
};

// What the router hands beyond this machine when the daemon is one node of
// a cluster. Called on the event loop's thread; never blocks.
class ClusterLink {
public:
    virtual ~ClusterLink() = default;
    // A local client's event that is not LocalOnly, as received, before it
    // is routed here.
    virtual void forward(const Notification &event) = 0;
    // The members of this node's groups changed: a join (`client` 0), or
    // one subscriber (kAllSubscribers: every one of the client) left for
    // `reason`.
    virtual void members_changed(ClientId client, std::int32_t subscriberId, std::string_view reason) = 0;
    static constexpr std::int32_t kAllSubscribers = INT32_MIN;
    virtual ClusterStats stats() const = 0;
};

class Router {
public:
    explicit Router(RouterConfig config);

    ClientId add_client(std::string peer, std::optional<std::uint32_t> uid = std::nullopt);
    // Forgets a connection: its subscriptions end and, with `tellGroups`, its
    // groups are told. A daemon that is stopping closes every connection and
    // so tells nobody.
    void remove_client(ClientId id, std::string_view reason, bool tellGroups = true);

    // Handles one request. Returns false when the request breaks the
    // protocol; `why` then says how, and the caller closes the connection.
    // `receivedMs` is when the request came in (wall clock): the server reads
    // the clock once per receive rather than once per event.
    bool handle(ClientId id, Request &&request, std::string &why, std::int64_t receivedMs);
    bool handle(ClientId id, Request &&request, std::string &why);

    Client *client(ClientId id);
    const std::map<ClientId, Client> &clients() const noexcept { return clients_; }

    // Connections that have new output since the last call.
    std::vector<ClientId> take_dirty();

    // What all connections make the daemon hold; the server adds what it
    // holds for them (their unparsed input) to the same account.
    const std::shared_ptr<MemoryAccount> &account() const noexcept { return account_; }
    // Past this, new connections and subscriptions are refused.
    bool over_high_water() const noexcept;
    // Called after the server sent some of a client's output. A client
    // that was skipping and is down to the low-water mark is queued its gap
    // notices, which may throw std::bad_alloc.
    void output_changed(Client &c);
    // Below this much unsent output a skipping client is queued events again.
    std::size_t low_water() const noexcept { return config_.limits.maxPendingBytes / 2; }

    // Lets the replay window's events go once it has passed; `nowMonoMs`
    // on the monotonic clock.
    void expire_replay(std::int64_t nowMonoMs) noexcept { replay_.open(nowMonoMs); }
    std::size_t replay_held() const noexcept { return replay_.size(); }

    Stats &stats() noexcept { return stats_; }
    const Stats &stats() const noexcept { return stats_; }
    const Membership &membership() const noexcept { return membership_; }
    const RouterConfig &config() const noexcept { return config_; }
    std::int64_t started_ms() const noexcept { return startedMs_; }

    // Joins the router to a cluster as node `node` (null: alone again); the
    // link must outlive the router's use of it. Its local members are listed
    // with the node's name from then on.
    void set_cluster(ClusterLink *link, std::string node = {}) {
        cluster_ = link;
        membership_.set_local_node(std::move(node));
    }
    const ClusterLink *cluster() const noexcept { return cluster_; }
    // Routes an event from another node to the local subscribers exactly as
    // a local one (never forwarded again).
    void route_remote(Notification &event);
    // A member of another node joins or leaves a local group: the local
    // members are told as of any member (it is sent nothing itself). It
    // stands in under `member.client`, which is `client` on node `node`.
    void join_remote(const std::string &group, Member member, std::string node, std::uint64_t client);
    void leave_remote(ClientId standIn, std::int32_t subscriberId, std::string_view reason);

    // The answer to a stats request: the counters as header lines.
    std::string stats_message(std::int64_t nowMs) const;

private:
    void on_connect(Client &c, ConnectRequest &&r);
    void on_subscribe(Client &c, SubscribeRequest &&r);
    // Why the daemon will not keep what `r` asks for, or empty when it will.
    std::string over_bounds(const Client &c, const SubscribeRequest &r, const std::string &group,
                            std::size_t propertyBytes) const;
    void on_unsubscribe(Client &c, const UnsubscribeRequest &r);
    // Ends one subscription of `c`, if it has it, and tells its group why.
    void end_subscription(Client &c, std::int32_t subscriberId, std::string_view reason);
    void on_event(Client &c, EventRequest &&r, std::int64_t receivedMs);
    // Tells the cluster, if any, that the local members changed.
    void members_changed(ClientId client = 0, std::int32_t subscriberId = 0, std::string_view reason = {});
    // Routes an event of a known class, whoever published it.
    void deliver(Notification &e);

    void route(const Notification &event);
    void replay_to(Client &c, std::int32_t subscriberId, Subscription &s);
    void send_status(Client &c, std::int32_t subscriberId, bool success, std::string_view message);
    void send_notices(std::vector<MembershipNotice> &&notices);
    void queue(Client &c, std::string bytes);
    // Queues an event for one subscriber; with `skippable` (the subscription
    // routed to) it is skipped and counted there while the client is over its bound.
    void queue_event(Client &c, std::int32_t subscriberId, const EventBytes &event,
                     Subscription *skippable = nullptr, bool replay = false);
    void after_queue(Client &c);
    void send_gap_notices(Client &c);
    // Takes an ending subscription off the list of those that skipped.
    void forget_skips(ClientId id, std::int32_t subscriberId, const Subscription &s);
    void kept_changed(Client &c) noexcept;
    // Why new work is refused for the daemon's memory, or empty.
    std::string memory_refusal() const;
    // Why a connect from `c` is refused, or empty when it is not.
    std::string connect_refusal(const Client &c) const;

    RouterConfig config_;
    std::shared_ptr<MemoryAccount> account_ = std::make_shared<MemoryAccount>();
    std::map<ClientId, Client> clients_;
    // Connections past the handshake per process: (uid or kNoUid, pid).
    std::map<std::pair<std::uint64_t, std::int32_t>, std::size_t> perProcess_;
    ClientId nextId_ = 1;
    Membership membership_;
    Stats stats_;
    std::int64_t startedMs_;
    SubscriptionIndex index_;
    std::vector<SubscriptionKey> candidates_;  // reused by every route()
    LogLimiter refusals_, skipLog_, connectLog_{20}, budgetLog_;
    std::vector<ClientId> dirty_;
    // The subscriptions that skipped anything, for the stats.
    std::set<SubscriptionKey> skippers_;
    ReplayStore replay_;
    ClusterLink *cluster_ = nullptr;
};

}  // namespace vavevard
