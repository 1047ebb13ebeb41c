#include "router.h"

#include <algorithm>
#include <climits>
#include <new>
#include <optional>
#include <utility>

#include "clock.h"
#include "daemon_counters.h"
#include "log.h"
#include "wire/control_texts.h"
#include "wire/event_texts.h"
#include "wire/flow_texts.h"

namespace vavevard {
namespace {

namespace wire = vavevar::wire;

// Texts go into header lines: a line break would end the header early.
std::string one_line(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

// Appends a header line whose value may come from a client.
void header(std::string &out, std::string_view name, std::string_view value) {
    out.append(name).append(one_line(value)).append(wire::kLineEnd);
}

bool has_membership_interest(std::string_view interest) {
    return !interest.empty() && interest != "null";
}

// The process number a library's self identifier starts with ("Pid=4242;
// Home=..."); 0 when it has none. Only a fair client's claim: it spreads one
// process's connections no further than its user's own bound.
std::int32_t claimed_pid(std::string_view selfId) {
    constexpr std::string_view kPid = "Pid=";
    if (!selfId.starts_with(kPid)) return 0;
    std::int64_t pid = 0;
    for (std::size_t i = kPid.size(); i < selfId.size() && i < kPid.size() + 10; ++i) {
        char c = selfId[i];
        if (c < '0' || c > '9') break;
        pid = pid * 10 + (c - '0');
    }
    return pid > 0 && pid <= INT32_MAX ? static_cast<std::int32_t>(pid) : 0;
}

constexpr std::uint64_t kNoUid = std::uint64_t{1} << 32;

std::pair<std::uint64_t, std::int32_t> process_key(const Client &c) {
    return {c.uid ? *c.uid : kNoUid, c.pid};
}

// What a connection costs besides its queues and subscriptions, and what one
// subscription costs besides its texts and compiled filter (map entries, its
// place in the index).
constexpr std::size_t kClientOverhead = 2048;
constexpr std::size_t kSubscriptionOverhead = 512;
// Lines of skipping subscriptions in a stats answer, at most.
constexpr std::size_t kSkippersShown = 32;

}  // namespace

Router::Router(RouterConfig config)
    : config_(std::move(config)), startedMs_(now_ms()), replay_(config_.replay, mono_ms(), account_) {}

ClientId Router::add_client(std::string peer, std::optional<std::uint32_t> uid) {
    ClientId id = nextId_++;
    Client &c = clients_[id];
    c.id = id;
    c.peer = std::move(peer);
    c.uid = uid;
    c.outputHeld = AccountedBytes(account_);
    c.keptHeld = AccountedBytes(account_);
    kept_changed(c);
    ++stats_.connectionsAccepted;
    return id;
}

bool Router::over_high_water() const noexcept {
    return account_->held() > config_.limits.maxTotalBytes / 8 * 7;
}

void Router::kept_changed(Client &c) noexcept {
    c.keptHeld.set(kClientOverhead + c.peer.capacity() + c.selfId.capacity() +
                   c.formFactor.capacity() + c.subscriptionTextBytes + c.filterBytes +
                   c.memberPropertyBytes + c.subscriptions.size() * kSubscriptionOverhead);
}

Client *Router::client(ClientId id) {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : &it->second;
}

void Router::remove_client(ClientId id, std::string_view reason, bool tellGroups) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    Client &c = it->second;
    if (c.connected) {
        --stats_.clients;
        if (auto p = perProcess_.find(process_key(c)); p != perProcess_.end() && --p->second == 0)
            perProcess_.erase(p);
    }
    stats_.subscriptions -= c.subscriptions.size();
    for (const auto &[subscriberId, s] : c.subscriptions) {
        index_.remove({id, subscriberId});
        forget_skips(id, subscriberId, s);
    }
    stats_.eventsDropped += c.out.messages();
    bool hadMembers = std::any_of(c.subscriptions.begin(), c.subscriptions.end(),
                                  [](const auto &s) { return !s.second.group.empty(); });
    clients_.erase(it);
    // Telling the groups takes memory; without it they are not told, but the
    // members still go.
    try {
        auto notices = membership_.leave_client(id, reason);
        if (tellGroups) send_notices(std::move(notices));
        // A stopping daemon says goodbye instead.
        if (hadMembers && tellGroups) members_changed(id, ClusterLink::kAllSubscribers, reason);
    } catch (const std::bad_alloc &) {
        membership_.forget_client(id);
        ++stats_.allocationFailures;
        logf(LogLevel::error, "client %llu: out of memory telling its groups it left",
             static_cast<unsigned long long>(id));
    }
}

std::vector<ClientId> Router::take_dirty() { return std::exchange(dirty_, {}); }

bool Router::handle(ClientId id, Request &&request, std::string &why) {
    return handle(id, std::move(request), why, now_ms());
}

bool Router::handle(ClientId id, Request &&request, std::string &why, std::int64_t receivedMs) {
    Client *c = client(id);
    if (c == nullptr || c->closeWhenFlushed) return true;
    if (std::holds_alternative<StatsRequest>(request)) {
        queue(*c, stats_message(receivedMs));
        return true;
    }
    if (auto *r = std::get_if<ConnectRequest>(&request)) {
        if (c->connected) {
            why = "a second connect request on one connection";
            return false;
        }
        on_connect(*c, std::move(*r));
        return true;
    }
    if (!c->connected) {
        why = "a request before the connect handshake";
        return false;
    }
    if (auto *r = std::get_if<SubscribeRequest>(&request)) on_subscribe(*c, std::move(*r));
    else if (auto *u = std::get_if<UnsubscribeRequest>(&request)) on_unsubscribe(*c, *u);
    else if (auto *e = std::get_if<EventRequest>(&request)) on_event(*c, std::move(*e), receivedMs);
    return true;
}

std::string Router::memory_refusal() const {
    if (!over_high_water()) return {};
    return "the daemon is near its memory limit of " +
           std::to_string(config_.limits.maxTotalBytes / (1024 * 1024)) + " MiB";
}

std::string Router::connect_refusal(const Client &c) const {
    const Limits &l = config_.limits;
    if (stats_.clients >= l.maxClients)
        return "too many clients (limit " + std::to_string(l.maxClients) + ")";
    if (std::string memory = memory_refusal(); !memory.empty()) return memory;
    if (c.pid != 0) {
        auto it = perProcess_.find(process_key(c));
        if (it != perProcess_.end() && it->second >= l.maxConnectionsPerProcess)
            return "too many connections from process " + std::to_string(c.pid) + " (limit " +
                   std::to_string(l.maxConnectionsPerProcess) + ")";
    }
    return {};
}

// Reply lines are counted by the client: the result must be the third line
// and the instance name the ninth.
void Router::on_connect(Client &c, ConnectRequest &&r) {
    c.pid = claimed_pid(r.selfId);
    std::string refusal = connect_refusal(c);
    bool full = !refusal.empty();
    std::string reply(wire::kConnectLine);
    header(reply, wire::kVersion, "4");
    header(reply, wire::kResult, full ? wire::kFailure : wire::kSuccess);
    header(reply, wire::kMessage, full ? refusal : "connected");
    header(reply, "daemonVersion: ", config_.version);
    header(reply, wire::kSelfId, r.selfId);
    header(reply, "ClientId: ", std::to_string(c.id));
    header(reply, "DaemonId: ", config_.daemonId);
    header(reply, wire::kInstanceName, config_.instanceName);
    reply.append(wire::kLineEnd);
    queue(c, std::move(reply));
    if (full) {
        ++stats_.connectionsRefused;
        refusals_.logf(LogLevel::warn, "client %llu (%s): connect refused: %s",
                       static_cast<unsigned long long>(c.id), c.peer.c_str(), refusal.c_str());
        c.closeWhenFlushed = true;
        return;
    }
    ++perProcess_[process_key(c)];
    c.connected = true;
    c.selfId = std::move(r.selfId);
    c.formFactor = std::move(r.formFactor);
    ++stats_.clients;
    kept_changed(c);
    connectLog_.logf(LogLevel::info, "client %llu (%s): connected, self id \"%s\"",
         static_cast<unsigned long long>(c.id), c.peer.c_str(), one_line(c.selfId).c_str());
}

std::string Router::over_bounds(const Client &c, const SubscribeRequest &r,
                                const std::string &group, std::size_t propertyBytes) const {
    const Limits &l = config_.limits;
    std::size_t textBytes = c.subscriptionTextBytes, memberBytes = c.memberPropertyBytes;
    if (auto old = c.subscriptions.find(r.subscriberId); old != c.subscriptions.end()) {
        textBytes -= old->second.text_bytes();
        memberBytes -= old->second.propertyBytes;
    } else if (c.subscriptions.size() >= l.maxSubscriptions) {
        return "too many subscriptions on one connection (limit " +
               std::to_string(l.maxSubscriptions) + ")";
    }
    if (textBytes + r.subscription.size() + r.component.size() + group.size() >
        l.maxSubscriptionTextBytes)
        return "the subscriptions of one connection would keep more than " +
               std::to_string(l.maxSubscriptionTextBytes) + " bytes of filter, component and group";
    if (group.empty()) return {};
    for (const Property &p : r.properties)
        if (p.line.size() > l.maxMemberPropertyLine)
            return "a member property line is longer than " +
                   std::to_string(l.maxMemberPropertyLine) + " bytes";
    if (memberBytes + propertyBytes > l.maxMemberPropertyBytes)
        return "the members of one connection would keep more than " +
               std::to_string(l.maxMemberPropertyBytes) + " bytes of properties";
    return {};
}

void Router::on_subscribe(Client &c, SubscribeRequest &&r) {
    Filter filter = Filter::compile(r.subscription);
    std::string group = has_membership_interest(r.mbrInterest) ? r.mbrInterest : std::string();
    std::size_t propertyBytes = 0;
    for (const Property &p : r.properties) propertyBytes += p.line.size();
    std::string refusal =
        filter.ok() ? over_bounds(c, r, group, propertyBytes) : "invalid subscription: " + filter.error();
    if (refusal.empty()) refusal = memory_refusal();
    Member m;
    if (refusal.empty() && !group.empty()) {
        m.client = c.id;
        m.subscriberId = r.subscriberId;
        m.component = r.component;
        m.selfId = c.selfId;
        m.properties = last_of_each_name(std::move(r.properties));
        m.deltas = r.deltas;
        m.joinedMs = now_ms();
        // The list goes out whole to the new member: one too large for a
        // reader, or for the daemon's memory, is refused before it is built.
        if (std::size_t bytes = membership_.list_bytes(group, m); bytes > config_.limits.maxMemberListBytes)
            refusal = "the member list of group '" + group + "' would be " + std::to_string(bytes) +
                      " bytes, over the limit of " + std::to_string(config_.limits.maxMemberListBytes);
    }
    if (!refusal.empty()) {
        ++stats_.subscribesRefused;
        send_status(c, r.subscriberId, false, refusal);
        return;
    }
    // The same identifier again replaces the subscription.
    end_subscription(c, r.subscriberId, "resubscribed");
    Subscription s;
    s.filter = std::move(filter);
    s.text = std::move(r.subscription);
    s.component = std::move(r.component);
    s.deltas = r.deltas;
    s.group = group;
    s.propertyBytes = group.empty() ? 0 : propertyBytes;
    logf(LogLevel::debug, "client %llu: subscriber %d subscribed to \"%s\"",
         static_cast<unsigned long long>(c.id), r.subscriberId, one_line(s.text).c_str());
    s.filterBytes = s.filter.memory_bytes();
    std::size_t textBytes = s.text_bytes(), memberBytes = s.propertyBytes, filterBytes = s.filterBytes;
    // Indexed and kept, or neither.
    SubscriptionKey key{c.id, r.subscriberId};
    index_.add(key, s.filter);
    try {
        c.subscriptions.emplace(r.subscriberId, std::move(s));
    } catch (...) {
        index_.remove(key);
        throw;
    }
    // Counted once kept, so that a failure before leaves the counts true.
    c.subscriptionTextBytes += textBytes;
    c.memberPropertyBytes += memberBytes;
    c.filterBytes += filterBytes;
    ++stats_.subscriptions;
    kept_changed(c);
    send_status(c, r.subscriberId, true, "subscribed");
    if (r.resubscribe && replay_.open(mono_ms())) replay_to(c, r.subscriberId, c.subscriptions.at(r.subscriberId));
    if (!group.empty()) {
        send_notices(membership_.join(group, std::move(m)));
        members_changed();
    }
}

void Router::on_unsubscribe(Client &c, const UnsubscribeRequest &r) {
    end_subscription(c, r.subscriberId, "unsubscribed");
}

void Router::end_subscription(Client &c, std::int32_t subscriberId, std::string_view reason) {
    auto it = c.subscriptions.find(subscriberId);
    if (it == c.subscriptions.end()) return;
    c.subscriptionTextBytes -= it->second.text_bytes();
    c.memberPropertyBytes -= it->second.propertyBytes;
    c.filterBytes -= it->second.filterBytes;
    index_.remove({c.id, subscriberId});
    forget_skips(c.id, subscriberId, it->second);
    bool member = !it->second.group.empty();
    c.subscriptions.erase(it);
    --stats_.subscriptions;
    kept_changed(c);
    send_notices(membership_.leave(c.id, subscriberId, reason));
    if (member) members_changed(c.id, subscriberId, reason);
}

// An outgoing-stream event (class 3) is what a sender holds; subscribers read
// streams from incoming-stream events (class 4) keyed by stream key and ended
// by an event without a body. So a class-3 event reaches subscribers as a
// complete one-block stream: its body under its own identifier as key, then
// the end marker.
void Router::on_event(Client &c, EventRequest &&r, std::int64_t receivedMs) {
    ++stats_.eventsIn;
    if (r.unknownClass) {
        ++stats_.eventsDropped;
        logf(LogLevel::warn, "client %llu: event \"%s\" of unknown class \"%s\" dropped",
             static_cast<unsigned long long>(c.id), one_line(r.event.type).c_str(),
             one_line(r.className).c_str());
        return;
    }
    Notification &e = r.event;
    e.creationMs = receivedMs;
    if (cluster_ != nullptr && !e.localOnly) cluster_->forward(e);
    deliver(e);
}

void Router::route_remote(Notification &event) { deliver(event); }

void Router::join_remote(const std::string &group, Member member, std::string node, std::uint64_t client) {
    member.deltas = false;
    membership_.set_origin(member.client, std::move(node), client);
    send_notices(membership_.join(group, std::move(member), false));
}

void Router::leave_remote(ClientId standIn, std::int32_t subscriberId, std::string_view reason) {
    send_notices(membership_.leave(standIn, subscriberId, reason));
}

void Router::members_changed(ClientId client, std::int32_t subscriberId, std::string_view reason) {
    if (cluster_ != nullptr) cluster_->members_changed(client, subscriberId, reason);
}

void Router::deliver(Notification &e) {
    if (e.cls == kOutgoingStreamingNotification) {
        e.cls = kIncomingStreamingNotification;
        e.streamKey = e.id;
        bool hadBody = !e.body.empty();
        route(e);
        if (!hadBody) return;
        e.body.clear();
    }
    route(e);
}

// Only the subscriptions whose filters can match the event's type are tested,
// in the order of their keys: connections by age, then subscriber identifier.
void Router::route(const Notification &event) {
    std::optional<RenderedEvent> rendered;
    NotificationView view(event);
    bool matched = false;
    if (!replay_.ended() && replay_.open(mono_ms())) {
        rendered.emplace(event, config_.instanceName, account_);
        if (replay_.hold(event, rendered->bytes())) ++stats_.eventsHeld;
        else ++stats_.eventsNotHeld;
    }
    index_.candidates(event.type, candidates_);
    auto c = clients_.end();
    for (const SubscriptionKey &key : candidates_) {
        if (c == clients_.end() || c->first != key.client) c = clients_.find(key.client);
        if (c == clients_.end() || !c->second.connected) continue;
        auto s = c->second.subscriptions.find(key.subscriber);
        if (s == c->second.subscriptions.end()) continue;
        ++stats_.filterTests;
        Match m = s->second.filter.evaluate(view);
        if (m == Match::over_budget) {
            ++stats_.filterBudgetExceeded;
            budgetLog_.logf(LogLevel::warn,
                            "client %llu: the filter of subscriber %d took more work than its budget "
                            "on event \"%.60s\" of %zu bytes; not delivered to it",
                            static_cast<unsigned long long>(key.client), key.subscriber,
                            one_line(event.type).c_str(), view.matchable_size());
            continue;
        }
        if (m != Match::yes) continue;
        if (!rendered) rendered.emplace(event, config_.instanceName, account_);
        matched = true;
        queue_event(c->second, key.subscriber, rendered->bytes(), &s->second);
    }
    if (!matched) ++stats_.eventsUnmatched;
}

// Everything held that the filter matches, in arrival order. Tested against
// every held event rather than through the index: a window holds at most a
// few seconds' worth, and only a library that reconnected asks.
void Router::replay_to(Client &c, std::int32_t subscriberId, Subscription &s) {
    replay_.for_each([&](const Notification &event, const EventBytes &bytes) {
        NotificationView view(event);
        ++stats_.filterTests;
        Match m = s.filter.evaluate(view);
        if (m == Match::over_budget) ++stats_.filterBudgetExceeded;
        if (m != Match::yes) return;
        ++stats_.eventsReplayed;
        queue_event(c, subscriberId, bytes, &s, true);
    });
}

void Router::send_status(Client &c, std::int32_t subscriberId, bool success,
                         std::string_view message) {
    std::string m(wire::kStatusLine);
    header(m, wire::kResult, success ? wire::kSuccess : wire::kFailure);
    header(m, wire::kSubscriberId, std::to_string(subscriberId));
    header(m, wire::kMessage, message);
    m.append(wire::kLineEnd);
    queue(c, std::move(m));
}

// Each notice is rendered once and its tail shared by all its recipients, so
// telling a group costs one pass over it, whatever the body's size.
void Router::send_notices(std::vector<MembershipNotice> &&notices) {
    std::int64_t now = now_ms();
    for (MembershipNotice &n : notices) {
        n.event.creationMs = now;
        RenderedEvent rendered(n.event, config_.instanceName, account_);
        for (const auto &[clientId, subscriberId] : n.recipients)
            if (Client *c = client(clientId)) queue_event(*c, subscriberId, rendered.bytes());
    }
}

void Router::queue(Client &c, std::string bytes) {
    c.out.push(std::move(bytes));
    after_queue(c);
}

// Membership notifications are never skipped (a member list missing a change
// would be wrong until the next list), nor are answers: what they add to a
// skipping client's queue is bounded by the group bounds and by its requests
// not being read while its output waits.
void Router::queue_event(Client &c, std::int32_t subscriberId, const EventBytes &event,
                         Subscription *skippable, bool replay) {
    if (skippable != nullptr && c.skipping) {
        if (skippable->skippedTotal++ == 0) skippers_.insert({c.id, subscriberId});
        ++skippable->skipped;
        ++stats_.eventsSkipped;
        return;
    }
    c.out.push(event, subscriberId, replay);
    if (skippable != nullptr) ++skippable->delivered;
    ++stats_.eventsOut;
    after_queue(c);
}

// A client that does not read what it is sent is not dropped, nor allowed to
// hold the daemon's memory: past its bound its events are skipped and
// counted, and once it has read its backlog down to the low-water mark each
// subscription that missed events is told how many before anything else
// reaches it. The message just queued does not count against the bound: one
// event larger than the bound (a body and properties at their limits) must
// not cost a subscriber that reads everything a gap.
void Router::after_queue(Client &c) {
    c.outputHeld.set(c.out.own_bytes());
    if (!c.skipping && c.out.pending() - c.out.newest_bytes() > config_.limits.maxPendingBytes) {
        c.skipping = true;
        skipLog_.logf(LogLevel::warn,
                      "client %llu (%s): over %zu bytes of unread output; skipping its events until it reads",
                      static_cast<unsigned long long>(c.id), c.peer.c_str(), config_.limits.maxPendingBytes);
    }
    // A client already listed, or waiting for its socket to take more, is
    // written to when it can; the others are listed once.
    if (!c.writeScheduled) {
        dirty_.push_back(c.id);
        c.writeScheduled = true;
    }
}

void Router::output_changed(Client &c) {
    c.outputHeld.set(c.out.own_bytes());
    if (c.out.empty()) c.writeScheduled = false;
    if (c.skipping && c.out.pending() <= low_water()) {
        c.skipping = false;
        send_gap_notices(c);
    }
}

// One notice per subscription that skipped since its last, in identifier
// order. A subscription that ended meanwhile is told nothing: its subscriber
// is gone.
void Router::send_gap_notices(Client &c) {
    std::uint64_t total = 0;
    for (auto &[subscriberId, s] : c.subscriptions) {
        if (s.skipped == 0) continue;
        std::string m(wire::kGapLine);
        m.append(wire::kSubscriberId).append(std::to_string(subscriberId)).append(wire::kLineEnd);
        m.append(wire::kSkipped).append(std::to_string(s.skipped)).append(wire::kLineEnd);
        m.append(wire::kLineEnd);
        queue(c, std::move(m));
        total += s.skipped;
        s.skipped = 0;
        ++stats_.gapNotices;
    }
    if (total != 0)
        skipLog_.logf(LogLevel::info, "client %llu (%s): reading again; %llu events were skipped for it",
                      static_cast<unsigned long long>(c.id), c.peer.c_str(),
                      static_cast<unsigned long long>(total));
}

void Router::forget_skips(ClientId id, std::int32_t subscriberId, const Subscription &s) {
    if (s.skippedTotal != 0) skippers_.erase({id, subscriberId});
}

std::string Router::stats_message(std::int64_t nowMs) const {
    auto line = [](std::string &m, std::string_view name, std::uint64_t value) {
        m.append(name).append(": ").append(std::to_string(value)).append("\r\n");
    };
    std::string m = "POST /stats HTTP/1.1\r\nResult: success\r\n";
    m += "daemonVersion: " + config_.version + "\r\n";
    m += "DaemonId: " + config_.daemonId + "\r\n";
    m += "instanceName: " + config_.instanceName + "\r\n";
    line(m, "uptimeMs", static_cast<std::uint64_t>(nowMs - startedMs_));
    for (const DaemonCounter &c : daemon_counters(*this)) line(m, c.name, c.value);
    // The subscriptions that skipped the most, most first: enough to find a
    // stalled client without an answer as long as the daemon's subscriptions.
    std::vector<std::pair<std::uint64_t, SubscriptionKey>> skippers;
    for (const SubscriptionKey &key : skippers_) {
        auto c = clients_.find(key.client);
        if (c == clients_.end()) continue;
        auto s = c->second.subscriptions.find(key.subscriber);
        if (s != c->second.subscriptions.end()) skippers.emplace_back(s->second.skippedTotal, key);
    }
    std::size_t shown = std::min(skippers.size(), kSkippersShown);
    std::partial_sort(skippers.begin(), skippers.begin() + static_cast<std::ptrdiff_t>(shown), skippers.end(),
                      [](const auto &a, const auto &b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    for (std::size_t i = 0; i < shown; ++i)
        m.append(wire::kSkipped)
            .append(std::to_string(skippers[i].second.client))
            .append(" ")
            .append(std::to_string(skippers[i].second.subscriber))
            .append(" ")
            .append(std::to_string(skippers[i].first))
            .append("\r\n");
    // In a cluster, one line per other node: name, heard from within the
    // grace period (1) or not (0), events received, duplicates dropped,
    // events dropped, members known here.
    if (cluster_ != nullptr)
        for (const ClusterPeerStats &p : cluster_->stats().peers)
            m.append("clusterPeer: ")
                .append(one_line(p.node))
                .append(p.alive ? " 1 " : " 0 ")
                .append(std::to_string(p.eventsReceived))
                .append(" ")
                .append(std::to_string(p.duplicatesDropped))
                .append(" ")
                .append(std::to_string(p.eventsDropped))
                .append(" ")
                .append(std::to_string(p.members))
                .append("\r\n");
    m += "\r\n";
    // A client may ask many times before it reads: each answer held keeps
    // only its own size, not what growing it left spare.
    m.shrink_to_fit();
    return m;
}

}  // namespace vavevard
