#include "bridge.h"

#include <nats/nats.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <memory>
#include <random>
#include <set>

#include "clock.h"
#include "envelope.h"
#include "subject.h"

namespace vavevard::cluster {
namespace {

// How long the start waits for a running daemon of the same name to answer.
constexpr std::int64_t kNameCheckMs = 1000;
// How long the link is given to reconnect between rounds over the whole list.
constexpr std::int64_t kReconnectWaitMs = 250;
// How long a write to a server may wait for it to take anything.
constexpr std::int64_t kWriteDeadlineMs = 2000;
// How long a stop waits for NATS to take what is still queued.
constexpr std::int64_t kFlushOnStopMs = 1000;

std::string random_instance() {
    std::random_device random;
    std::uint64_t n = (std::uint64_t{random()} << 32) ^ random();
    char text[17];
    auto end = std::to_chars(text, text + 16, n, 16).ptr;
    return std::string(text, end);
}

// The blank-separated words of a control message.
std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        std::size_t start = text.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        std::size_t end = text.find(' ', start);
        out.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end);
    }
    return out;
}

std::uint64_t number(std::string_view text) {
    std::uint64_t n = 0;
    std::from_chars(text.data(), text.data() + text.size(), n);
    return n;
}

}  // namespace

Bridge::Bridge(ClusterOptions options, std::string node, Router &router)
    : options_(std::move(options)), node_(std::move(node)), instance_(random_instance()), router_(router),
      inbound_(kQueueEvents, kQueueBytes), outbound_(kQueueEvents, options_.reconnectBufferBytes), dropLog_(5),
      badLog_(5) {
    timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
}

Bridge::~Bridge() {
    stop();
    if (timer_ >= 0) ::close(timer_);
}

bool Bridge::set_up_options(natsOptions *opts, std::string &error) {
    std::vector<const char *> urls;
    for (const std::string &s : options_.servers) urls.push_back(s.c_str());
    std::string name = "vavevard " + node_;
    natsStatus s = natsOptions_SetServers(opts, urls.data(), static_cast<int>(urls.size()));
    // The list in the order given: a node names its nearest server first.
    if (s == NATS_OK) s = natsOptions_SetNoRandomize(opts, true);
    if (s == NATS_OK) s = natsOptions_SetName(opts, name.c_str());
    // Only the servers given: what a node can reach is what its operator
    // listed, not whatever the servers advertise.
    if (s == NATS_OK) s = natsOptions_SetIgnoreDiscoveredServers(opts, true);
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(opts, -1);
    // A server that takes nothing for this long counts as lost: the bridge
    // thread is never held longer by a stalled server, and moves on to the
    // next one.
    if (s == NATS_OK) s = natsOptions_SetWriteDeadline(opts, kWriteDeadlineMs);
    if (s == NATS_OK) s = natsOptions_SetReconnectWait(opts, kReconnectWaitMs);
    // libnats's own reconnect buffer would send what it held before what
    // the bridge sends again, out of order; so it holds nothing (a publish
    // while the link is down is refused) and the bridge holds instead.
    if (s == NATS_OK) s = natsOptions_SetReconnectBufSize(opts, 1);
    // Each publish is written at once rather than left for libnats's
    // flusher, which waits a millisecond before it writes: that wait was
    // most of a cross-node round trip. The bridge thread, not the event
    // loop, pays the write.
    if (s == NATS_OK) s = natsOptions_SetSendAsap(opts, true);
    // A node never needs its own events back: local subscribers had them.
    if (s == NATS_OK) s = natsOptions_SetNoEcho(opts, true);
    // One delivery thread for all subscriptions, so that events to all nodes
    // and to this one keep the order they were published in.
    if (s == NATS_OK) s = natsOptions_UseGlobalMessageDelivery(opts, true);
    if (s == NATS_OK) s = natsOptions_SetRetryOnFailedConnect(opts, true, &Bridge::on_connected, this);
    if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(opts, &Bridge::on_disconnected, this);
    if (s == NATS_OK) s = natsOptions_SetReconnectedCB(opts, &Bridge::on_reconnected, this);
    if (s == NATS_OK) s = natsOptions_SetClosedCB(opts, &Bridge::on_closed, this);
    if (s != NATS_OK) error = std::string("cannot set up the cluster link: ") + natsStatus_GetText(s);
    return s == NATS_OK;
}

bool Bridge::start(std::string &error) {
    if (inbound_.fd() < 0 || timer_ < 0) {
        error = "cannot set up the cluster link: out of descriptors";
        return false;
    }
    natsOptions *opts = nullptr;
    if (natsOptions_Create(&opts) != NATS_OK) {
        error = "cannot set up the cluster link: out of memory";
        return false;
    }
    bool ok = set_up_options(opts, error);
    natsStatus s = ok ? natsConnection_Connect(&nc_, opts) : NATS_ERR;
    natsOptions_Destroy(opts);
    if (!ok) return false;
    if (s == NATS_OK) {
        linkUp_ = true;
        char url[256] = "?";
        natsConnection_GetConnectedUrl(nc_, url, sizeof url);
        logf(LogLevel::info, "cluster '%s': node '%s' (instance %s) connected to %s", options_.name.c_str(),
             node_.c_str(), instance_.c_str(), url);
        if (!check_name(error)) return false;
    } else if (s == NATS_NOT_YET_CONNECTED) {
        logf(LogLevel::warn,
             "cluster '%s': no NATS server reachable; serving this machine alone until one is (the node "
             "name '%s' is not checked against the running daemons)",
             options_.name.c_str(), node_.c_str());
    } else {
        error = std::string("cannot join cluster '") + options_.name + "': " + natsStatus_GetText(s);
        return false;
    }
    bool subscribed = subscribe(node_check_subject(options_.name, node_), Inbound::name_claimed, error);
    for (const std::string &subject : event_interest(options_.name, node_))
        subscribed = subscribed && subscribe(subject, Inbound::event, error);
    subscribed = subscribed && subscribe(heartbeat_subject(options_.name), Inbound::heartbeat, error) &&
                 subscribe(goodbye_subject(options_.name), Inbound::goodbye, error) &&
                 subscribe(members_subject(options_.name), Inbound::members, error) &&
                 subscribe(members_wanted_subject(options_.name, node_), Inbound::members_wanted, error);
    if (!subscribed) return false;
    itimerspec period{};
    period.it_interval.tv_sec = options_.heartbeatMs / 1000;
    period.it_interval.tv_nsec = (options_.heartbeatMs % 1000) * 1000000;
    period.it_value = period.it_interval;
    ::timerfd_settime(timer_, 0, &period, nullptr);
    publisher_ = std::thread(&Bridge::publish_loop, this);
    router_.set_cluster(this, node_);
    heartbeat();
    return true;
}

// A NATS request on the node's own subject: a running daemon of that name
// answers with its instance. Two daemons starting at the same moment can
// both miss each other (docs/cluster.md).
bool Bridge::check_name(std::string &error) {
    natsMsg *reply = nullptr;
    std::string subject = node_check_subject(options_.name, node_);
    natsStatus s = natsConnection_Request(&reply, nc_, subject.c_str(), instance_.data(),
                                          static_cast<int>(instance_.size()), kNameCheckMs);
    if (s != NATS_OK) return true;  // no responders, or none in time: the name is free
    std::string other(natsMsg_GetData(reply), static_cast<std::size_t>(natsMsg_GetDataLength(reply)));
    natsMsg_Destroy(reply);
    if (other == instance_) return true;
    error = "node name '" + node_ + "' is already used in cluster '" + options_.name +
            "' by a running daemon (instance " + other + "); give this one another --node";
    return false;
}

bool Bridge::subscribe(const std::string &subject, Inbound::Kind kind, std::string &error) {
    auto holder = std::make_unique<Subscription>(Subscription{nullptr, kind, this});
    natsMsgHandler handler = kind == Inbound::name_claimed ? &Bridge::on_name_check : &Bridge::on_message;
    natsStatus s = natsConnection_Subscribe(&holder->sub, nc_, subject.c_str(), handler, holder.get());
    if (s != NATS_OK) {
        error = "cannot subscribe to '" + subject + "': " + natsStatus_GetText(s);
        return false;
    }
    // The inbound queue is the bound that counts; libnats's own per
    // subscription limits are set above it so they do not drop first.
    natsSubscription_SetPendingLimits(holder->sub, -1, -1);
    subs_.push_back(std::move(holder));
    return true;
}

// On a libnats thread: copy and hand over, nothing else.
void Bridge::on_message(natsConnection *, natsSubscription *, natsMsg *msg, void *closure) {
    auto *sub = static_cast<Subscription *>(closure);
    try {
        Inbound item;
        item.kind = sub->kind;
        item.payload.assign(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
        if (item.kind == Inbound::event) item.node = envelope_node(item.payload);
        else if (auto w = words(std::string_view(item.payload).substr(0, item.payload.find('\n'))); !w.empty())
            item.node = w[0];
        if (item.node != sub->bridge->node_ || item.kind == Inbound::members_wanted)
            sub->bridge->inbound_.push(std::move(item));
    } catch (...) {
        // Out of memory on libnats's thread: the message is lost, as NATS may lose it.
    }
    natsMsg_Destroy(msg);
}

void Bridge::on_name_check(natsConnection *nc, natsSubscription *, natsMsg *msg, void *closure) {
    auto *self = static_cast<Subscription *>(closure)->bridge;
    if (const char *reply = natsMsg_GetReply(msg))
        natsConnection_Publish(nc, reply, self->instance_.data(), static_cast<int>(self->instance_.size()));
    try {
        std::string asker(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
        if (asker != self->instance_) self->inbound_.push({Inbound::name_claimed, {}, std::move(asker)});
    } catch (...) {
    }
    natsMsg_Destroy(msg);
}

void Bridge::on_disconnected(natsConnection *, void *closure) {
    auto *self = static_cast<Bridge *>(closure);
    if (!self->linkUp_.exchange(false)) return;
    ++self->disconnects_;
    try {
        self->inbound_.push({Inbound::link_down, {}, {}});
    } catch (...) {
    }
}

void Bridge::on_reconnected(natsConnection *, void *closure) {
    auto *self = static_cast<Bridge *>(closure);
    self->linkUp_ = true;
    ++self->reconnects_;
    ++self->linkGeneration_;
    try {
        self->inbound_.push({Inbound::reconnected, {}, {}});
    } catch (...) {
    }
}

void Bridge::on_connected(natsConnection *, void *closure) {
    auto *self = static_cast<Bridge *>(closure);
    self->linkUp_ = true;
    try {
        self->inbound_.push({Inbound::link_up, {}, {}});
    } catch (...) {
    }
}

void Bridge::on_closed(natsConnection *, void *closure) { static_cast<Bridge *>(closure)->linkUp_ = false; }

// The bridge thread: the only one that publishes, so a slow link or a full
// socket holds it and never the event loop. While the link is down it
// publishes nothing and takes nothing more: what waits is the outbound queue,
// up to its bound, and the loop counts what does not fit. Once the link is
// back it first sends again the events it published last (the dying
// connection may have taken them without a server ever getting them; the
// receivers drop those they have), then goes on in order.
void Bridge::publish_loop() {
    std::deque<Outbound> batch, recent;
    std::size_t recentBytes = 0;
    // How often the link came back, as libnats counts it while it reconnects:
    // before any publish can reach the new connection. Its reconnected
    // callback comes later, on another thread, and events sent meanwhile
    // would overtake those sent again.
    natsStatistics *made = nullptr;
    std::unique_ptr<natsStatistics, void (*)(natsStatistics *)> counts(
        natsStatistics_Create(&made) == NATS_OK ? made : nullptr, natsStatistics_Destroy);
    auto comebacks = [&]() -> std::uint64_t {
        std::uint64_t n = 0;
        if (!counts || natsConnection_GetStats(nc_, counts.get()) != NATS_OK ||
            natsStatistics_GetCounts(counts.get(), nullptr, nullptr, nullptr, nullptr, &n) != NATS_OK)
            return linkGeneration_;
        return n;
    };
    std::uint64_t generation = comebacks();
    bool resend = false;
    // Waits for the link and sends the recent events again if it was lost;
    // false when stopping with the link down.
    auto link_ready = [&] {
        for (;;) {
            while (!connected() && !stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!connected()) return false;
            if (std::uint64_t now = comebacks(); now != generation) {
                generation = now;
                resend = true;
            }
            if (!resend) return true;
            bool sent = true;
            for (const Outbound &o : recent) sent = sent && publish(o) != Published::link_down;
            if (sent) resend = false;
        }
    };
    while (outbound_.take(batch)) {
        while (!batch.empty()) {
            if (!link_ready()) break;
            Outbound &o = batch.front();
            if (Published p = publish(o); p != Published::sent) {
                if (p == Published::refused) {
                    if (o.event) ++forwardDropped_;
                    batch.pop_front();
                } else {
                    resend = true;
                    // libnats may not have noticed yet: a moment, not a spin.
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                continue;
            }
            if (o.event) {
                ++forwarded_;
                recentBytes += o.payload.size();
                recent.push_back(std::move(o));
                while (recent.size() > kResendEvents || recentBytes > options_.reconnectBufferBytes) {
                    recentBytes -= recent.front().payload.size();
                    recent.pop_front();
                }
            }
            batch.pop_front();
        }
        if (!batch.empty()) break;  // stopping with the link down
    }
    // What could not be sent is lost, and told.
    for (const Outbound &o : batch)
        if (o.event) ++forwardDropped_;
}

bool Bridge::connected() const { return natsConnection_Status(nc_) == NATS_CONN_STATUS_CONNECTED; }

Bridge::Published Bridge::publish(const Outbound &o) {
    for (const std::string &subject : o.subjects) {
        natsStatus s =
            natsConnection_Publish(nc_, subject.c_str(), o.payload.data(), static_cast<int>(o.payload.size()));
        // Larger than the servers take, or a subject they refuse: sending
        // again would not help. Anything else is the link.
        if (s == NATS_MAX_PAYLOAD || s == NATS_INVALID_SUBJECT || s == NATS_INVALID_ARG) return Published::refused;
        if (s != NATS_OK) return Published::link_down;
    }
    return Published::sent;
}

void Bridge::forward(const Notification &event) {
    std::vector<std::string> subjects = event_subjects(options_.name, event.type, event.affectedNodes, node_);
    if (subjects.empty()) return;  // for this node alone
    Outbound o{true, std::move(subjects), encode_event(node_, event, router_.config().instanceName)};
    if (!outbound_.push(std::move(o))) {
        ++forwardDropped_;
        dropLog_.logf(LogLevel::warn, "cluster: the outbound queue is full (%zu events or %zu bytes); "
                                      "an event was not forwarded", kQueueEvents, kQueueBytes);
    }
}

void Bridge::on_wake() {
    inbound_.take(taken_);
    while (!taken_.empty()) {
        Inbound item = std::move(taken_.front());
        taken_.pop_front();
        try {
            handle(item);
        } catch (const std::bad_alloc &) {
            ++router_.stats().allocationFailures;
            badLog_.logf(LogLevel::error, "cluster: out of memory handling a message from node '%s'",
                         item.node.c_str());
        }
    }
}

void Bridge::handle(Inbound &item) {
    switch (item.kind) {
    case Inbound::event: handle_event(item); break;
    case Inbound::heartbeat: {
        auto w = words(item.payload);
        if (w.size() >= 3) node_heard(std::string(w[0]), std::string(w[1]), number(w[2]));
        break;
    }
    case Inbound::goodbye: {
        auto w = words(item.payload);
        if (w.size() < 2) break;
        auto p = peers_.find(std::string(w[0]));
        if (p == peers_.end() || p->second.instance != w[1]) break;
        logf(LogLevel::info, "cluster: node '%s' said goodbye", p->first.c_str());
        node_gone(p->first, "node left");
        break;
    }
    case Inbound::members: {
        MemberSnapshot snapshot;
        if (!decode_snapshot(item.payload, snapshot) || snapshot.node == node_) break;
        // A list is as good as a heartbeat: a node whose list came first is
        // still held to the grace period.
        node_heard(snapshot.node, snapshot.instance, 0);
        for (MemberChange &c : remote_.apply(snapshot)) apply(c);
        break;
    }
    case Inbound::members_wanted: send_snapshot(); break;
    case Inbound::link_down:
        logf(LogLevel::warn, "cluster '%s': link to NATS lost; serving this machine alone, keeping up to %zu "
                             "bytes of events for the others until it is back",
             options_.name.c_str(), options_.reconnectBufferBytes);
        break;
    case Inbound::link_up:
    case Inbound::reconnected: {
        char url[256] = "?";
        natsConnection_GetConnectedUrl(nc_, url, sizeof url);
        logf(LogLevel::info, "cluster '%s': link to NATS %s (%s)", options_.name.c_str(),
             item.kind == Inbound::link_up ? "up" : "back", url);
        heartbeat();
        break;
    }
    case Inbound::name_claimed:
        logf(LogLevel::warn, "cluster: another daemon (instance %s) tried to start as node '%s'; it was told "
                             "the name is taken",
             item.payload.c_str(), node_.c_str());
        break;
    }
}

void Bridge::handle_event(Inbound &item) {
    Notification event;
    std::string why;
    Peer &p = peer(item.node);
    if (!decode_event(item.payload, event, why)) {
        ++p.unreadable;
        ++unreadable_;
        badLog_.logf(LogLevel::warn, "cluster: an event from node '%s' could not be read (%s); dropped",
                     item.node.c_str(), why.c_str());
        return;
    }
    auto window = dedupe_.try_emplace(item.node, kDedupeWindow).first;
    if (!window->second.first_time(item.node, event.id)) {
        ++p.duplicates;
        ++duplicates_;
        return;
    }
    ++p.received;
    ++received_;
    router_.route_remote(event);
}

void Bridge::apply(MemberChange &c) {
    if (c.join) {
        Member m;
        m.client = c.localClient;
        m.subscriberId = c.member.subscriberId;
        m.component = std::move(c.member.component);
        m.selfId = std::move(c.member.selfId);
        m.properties = std::move(c.member.properties);
        m.joinedMs = c.member.joinedMs;
        m.uid = c.member.uid;
        router_.join_remote(c.member.group, std::move(m), c.node, c.member.client);
    } else {
        router_.leave_remote(c.localClient, c.member.subscriberId, c.reason);
    }
}

Bridge::Peer &Bridge::peer(const std::string &node) { return peers_[node]; }

void Bridge::node_heard(const std::string &node, const std::string &instance, std::uint64_t seq) {
    if (node == node_) return;
    Peer &p = peer(node);
    if (!p.alive || p.instance != instance)
        logf(LogLevel::info, "cluster: node '%s' (instance %s) is here", node.c_str(), instance.c_str());
    // Restarted: what its old instance had is gone, even if the new one
    // has no members to send a list of.
    if (!p.instance.empty() && p.instance != instance)
        for (MemberChange &c : remote_.drop_node(node, "node restarted")) apply(c);
    p.alive = true;
    p.instance = instance;
    p.lastHeardMs = mono_ms();
    if (seq > remote_.seq(node, instance)) {
        Outbound want{false, {members_wanted_subject(options_.name, node)}, node_};
        outbound_.push(std::move(want));
    }
}

void Bridge::node_gone(const std::string &node, const char *why) {
    Peer &p = peer(node);
    p.alive = false;
    for (MemberChange &c : remote_.drop_node(node, why)) apply(c);
}

void Bridge::on_timer() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] ssize_t n = ::read(timer_, &expirations, sizeof expirations);
    heartbeat();
    std::int64_t now = mono_ms();
    std::vector<std::string> silent;
    for (auto &[node, p] : peers_)
        if (p.alive && now - p.lastHeardMs > options_.graceMs) silent.push_back(node);
    for (const std::string &node : silent) {
        logf(LogLevel::warn, "cluster: nothing heard from node '%s' for %lld ms; its members are reported as left",
             node.c_str(), static_cast<long long>(now - peers_[node].lastHeardMs));
        node_gone(node, "node left");
    }
}

void Bridge::heartbeat() {
    Outbound hb{false, {heartbeat_subject(options_.name)},
                node_ + " " + instance_ + " " + std::to_string(memberSeq_)};
    outbound_.push(std::move(hb));
}

void Bridge::members_changed(ClientId client, std::int32_t subscriberId, std::string_view reason) {
    if (client != 0 && !reason.empty()) leftReasons_[{client, subscriberId}] = std::string(reason);
    ++memberSeq_;
    send_snapshot();
}

// The whole list of this node's members, in each group's join order.
void Bridge::send_snapshot() {
    MemberSnapshot s;
    s.node = node_;
    s.instance = instance_;
    s.seq = memberSeq_;
    std::set<std::pair<std::uint64_t, std::int32_t>> now;
    for (const auto &[group, members] : router_.membership().groups())
        for (const Member &m : members) {
            if (m.client >= kFirstRemoteClient) continue;
            s.members.push_back(
                {group, m.client, m.subscriberId, m.component, m.selfId, m.joinedMs, m.properties, m.uid});
            now.insert({m.client, m.subscriberId});
        }
    for (const auto &key : lastSent_) {
        if (now.count(key) != 0) continue;
        auto reason = leftReasons_.find(key);
        if (reason == leftReasons_.end()) reason = leftReasons_.find({key.first, ClusterLink::kAllSubscribers});
        s.left.emplace_back(key.first, key.second, reason == leftReasons_.end() ? "left" : reason->second);
    }
    leftReasons_.clear();
    lastSent_ = std::move(now);
    outbound_.push({false, {members_subject(options_.name)}, encode_snapshot(s)});
}

ClusterStats Bridge::stats() const {
    ClusterStats s;
    s.node = node_;
    s.name = options_.name;
    s.linkUp = linkUp_;
    s.disconnects = disconnects_;
    s.reconnects = reconnects_;
    s.eventsForwarded = forwarded_;
    s.eventsForwardDropped = forwardDropped_;
    s.eventsReceived = received_;
    s.duplicatesDropped = duplicates_;
    s.outboundQueued = outbound_.size();
    s.remoteMembers = remote_.size();
    std::map<std::string, std::uint64_t> dropped = inbound_.dropped();
    s.eventsInboundDropped = unreadable_;
    for (const auto &[node, n] : dropped) s.eventsInboundDropped += n;
    std::set<std::string> nodes;
    for (const auto &[node, p] : peers_) nodes.insert(node);
    for (const auto &[node, n] : dropped) nodes.insert(node);
    for (const std::string &node : nodes) {
        ClusterPeerStats ps;
        ps.node = node;
        if (auto p = peers_.find(node); p != peers_.end()) {
            ps.alive = p->second.alive;
            ps.eventsReceived = p->second.received;
            ps.duplicatesDropped = p->second.duplicates;
            ps.eventsDropped = p->second.unreadable;
        }
        if (auto d = dropped.find(node); d != dropped.end()) ps.eventsDropped += d->second;
        ps.members = remote_.members(node);
        s.peersAlive += ps.alive ? 1 : 0;
        s.peers.push_back(std::move(ps));
    }
    return s;
}

void Bridge::stop() {
    if (stopped_) return;
    stopped_ = true;
    if (nc_ == nullptr) return;
    router_.set_cluster(nullptr);
    if (publisher_.joinable()) {
        outbound_.push({false, {goodbye_subject(options_.name)}, node_ + " " + instance_});
        outbound_.close();
        // What is queued goes out while the link is up; with it down, a
        // moment's wait for it to come back, no more.
        for (int i = 0; i < 200 && outbound_.size() != 0 && linkUp_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stopping_ = true;
        publisher_.join();
    }
    // Drained rather than just closed: the messages libnats has taken but
    // not yet handed over are handed over (to a queue nobody reads any
    // more) and freed, rather than left behind with its threads.
    if (natsConnection_DrainTimeout(nc_, kFlushOnStopMs) == NATS_OK)
        for (int i = 0; i < 2 * kFlushOnStopMs / 10 && !natsConnection_IsClosed(nc_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    natsConnection_Close(nc_);
    for (auto &s : subs_) natsSubscription_Destroy(s->sub);
    subs_.clear();
    natsConnection_Destroy(nc_);
    nc_ = nullptr;
    // Every libnats thread done, so that no callback still runs into this
    // object once it goes.
    nats_CloseAndWait(2000);
}

}  // namespace vavevard::cluster
