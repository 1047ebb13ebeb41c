#include "router.h"

#include <optional>
#include <utility>

#include "clock.h"
#include "log.h"

namespace vavevard {
namespace {

// Texts go into header lines: a line break would end the header early.
std::string one_line(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

bool has_membership_interest(std::string_view interest) {
    return !interest.empty() && interest != "null";
}

}  // namespace

Router::Router(RouterConfig config) : config_(std::move(config)), startedMs_(now_ms()) {}

ClientId Router::add_client(std::string peer) {
    ClientId id = nextId_++;
    Client &c = clients_[id];
    c.id = id;
    c.peer = std::move(peer);
    ++stats_.connectionsAccepted;
    return id;
}

Client *Router::client(ClientId id) {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : &it->second;
}

void Router::remove_client(ClientId id, std::string_view reason) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    Client &c = it->second;
    if (c.connected) --stats_.clients;
    stats_.subscriptions -= c.subscriptions.size();
    stats_.eventsDropped += c.out.messages();
    clients_.erase(it);
    send_notices(membership_.leave_client(id, reason));
}

std::vector<ClientId> Router::take_doomed() { return std::exchange(doomed_, {}); }
std::vector<ClientId> Router::take_dirty() { return std::exchange(dirty_, {}); }

bool Router::handle(ClientId id, Request &&request, std::string &why) {
    Client *c = client(id);
    if (c == nullptr || c->doomed || c->closeWhenFlushed) return true;
    if (std::holds_alternative<StatsRequest>(request)) {
        queue(*c, stats_message(now_ms()));
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
    else if (auto *e = std::get_if<EventRequest>(&request)) on_event(*c, std::move(*e));
    return true;
}

// Reply lines are counted by the client: the result must be the third line
// and the instance name the ninth.
void Router::on_connect(Client &c, ConnectRequest &&r) {
    bool full = stats_.clients >= config_.limits.maxClients;
    std::string reply = "POST /connect HTTP/1.1\r\n";
    reply += "Version: 4\r\n";
    reply += full ? "Result: failure\r\n" : "Result: success\r\n";
    reply += full ? "Message: too many clients (limit " + std::to_string(config_.limits.maxClients) + ")\r\n"
                  : std::string("Message: connected\r\n");
    reply += "daemonVersion: " + config_.version + "\r\n";
    reply += "SelfId: " + one_line(r.selfId) + "\r\n";
    reply += "ClientId: " + std::to_string(c.id) + "\r\n";
    reply += "DaemonId: " + config_.daemonId + "\r\n";
    reply += "instanceName: " + config_.instanceName + "\r\n\r\n";
    queue(c, std::move(reply));
    if (full) {
        logf(LogLevel::warn, "client %llu (%s): refused, %llu clients already connected",
             static_cast<unsigned long long>(c.id), c.peer.c_str(),
             static_cast<unsigned long long>(stats_.clients));
        c.closeWhenFlushed = true;
        return;
    }
    c.connected = true;
    c.selfId = std::move(r.selfId);
    c.formFactor = std::move(r.formFactor);
    ++stats_.clients;
    logf(LogLevel::info, "client %llu (%s): connected, self id \"%s\"",
         static_cast<unsigned long long>(c.id), c.peer.c_str(), one_line(c.selfId).c_str());
}

void Router::on_subscribe(Client &c, SubscribeRequest &&r) {
    Filter filter = Filter::compile(r.subscription);
    if (!filter.ok()) {
        ++stats_.subscribesRefused;
        send_status(c, r.subscriberId, false, "invalid subscription: " + filter.error());
        return;
    }
    auto existing = c.subscriptions.find(r.subscriberId);
    if (existing == c.subscriptions.end() &&
        c.subscriptions.size() >= config_.limits.maxSubscriptions) {
        ++stats_.subscribesRefused;
        send_status(c, r.subscriberId, false,
                    "too many subscriptions on one connection (limit " +
                        std::to_string(config_.limits.maxSubscriptions) + ")");
        return;
    }
    if (existing != c.subscriptions.end()) {
        // The same identifier again replaces the subscription.
        send_notices(membership_.leave(c.id, r.subscriberId, "resubscribed"));
        c.subscriptions.erase(existing);
        --stats_.subscriptions;
    }
    Subscription s;
    s.filter = std::move(filter);
    s.text = r.subscription;
    s.component = r.component;
    s.deltas = r.deltas;
    if (has_membership_interest(r.mbrInterest)) s.group = r.mbrInterest;
    std::string group = s.group;
    c.subscriptions.emplace(r.subscriberId, std::move(s));
    ++stats_.subscriptions;
    send_status(c, r.subscriberId, true, "subscribed");
    logf(LogLevel::debug, "client %llu: subscriber %d subscribed to \"%s\"",
         static_cast<unsigned long long>(c.id), r.subscriberId, one_line(r.subscription).c_str());
    if (!group.empty()) {
        Member m;
        m.client = c.id;
        m.subscriberId = r.subscriberId;
        m.component = std::move(r.component);
        m.selfId = c.selfId;
        m.properties = std::move(r.properties);
        m.deltas = r.deltas;
        m.joinedMs = now_ms();
        send_notices(membership_.join(group, std::move(m)));
    }
}

void Router::on_unsubscribe(Client &c, const UnsubscribeRequest &r) {
    if (c.subscriptions.erase(r.subscriberId) == 0) return;
    --stats_.subscriptions;
    send_notices(membership_.leave(c.id, r.subscriberId, "unsubscribed"));
}

// An outgoing-stream event (class 3) is what a sender holds; subscribers read
// streams from incoming-stream events (class 4) keyed by stream key and ended
// by an event without a body. So a class-3 event reaches subscribers as a
// complete one-block stream: its body under its own identifier as key, then
// the end marker.
void Router::on_event(Client &c, EventRequest &&r) {
    ++stats_.eventsIn;
    if (r.unknownClass) {
        ++stats_.eventsDropped;
        logf(LogLevel::warn, "client %llu: event \"%s\" of unknown class \"%s\" dropped",
             static_cast<unsigned long long>(c.id), one_line(r.event.type).c_str(),
             one_line(r.className).c_str());
        return;
    }
    Event &e = r.event;
    e.creationMs = now_ms();
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

void Router::route(const Event &event) {
    std::optional<RenderedEvent> rendered;
    bool matched = false;
    for (auto &[id, c] : clients_) {
        if (!c.connected) continue;
        for (const auto &[subscriberId, s] : c.subscriptions) {
            if (!s.filter.matches(event)) continue;
            if (!rendered) rendered.emplace(event, config_.instanceName);
            matched = true;
            queue_event(c, subscriberId, *rendered);
        }
    }
    if (!matched) ++stats_.eventsUnmatched;
}

void Router::send_status(Client &c, std::int32_t subscriberId, bool success,
                         std::string_view message) {
    std::string m = "POST /status HTTP/1.1\r\n";
    m += success ? "Result: success\r\n" : "Result: failure\r\n";
    m += "SubscriberID: " + std::to_string(subscriberId) + "\r\n";
    m += "Message: " + one_line(message) + "\r\n\r\n";
    queue(c, std::move(m));
}

void Router::send_notices(std::vector<MembershipNotice> &&notices) {
    std::int64_t now = now_ms();
    for (MembershipNotice &n : notices) {
        Client *c = client(n.client);
        if (c == nullptr) continue;
        n.event.creationMs = now;
        queue_event(*c, n.subscriberId, RenderedEvent(n.event, config_.instanceName));
    }
}

void Router::queue(Client &c, std::string bytes) {
    if (c.doomed) return;
    c.out.push(std::move(bytes));
    after_queue(c);
}

void Router::queue_event(Client &c, std::int32_t subscriberId, const RenderedEvent &event) {
    if (c.doomed) {
        ++stats_.eventsDropped;
        return;
    }
    OutQueue::Item item;
    item.head = event.head_for(subscriberId, &item.deliveryOffset);
    item.tail = event.tail();
    c.out.push(std::move(item));
    ++stats_.eventsOut;
    after_queue(c);
}

// A client that does not read what it is sent is dropped rather than allowed
// to hold the daemon's memory: its library reconnects and subscribes again,
// and its membership groups see it leave, so the loss is visible.
void Router::after_queue(Client &c) {
    if (c.out.pending() > config_.limits.maxPendingBytes) {
        c.doomed = true;
        ++stats_.slowConsumerDisconnects;
        logf(LogLevel::warn, "client %llu (%s): over %zu bytes of unread output, disconnecting",
             static_cast<unsigned long long>(c.id), c.peer.c_str(), config_.limits.maxPendingBytes);
        doomed_.push_back(c.id);
        return;
    }
    // A queue that was empty is not being written yet; one that was not is
    // already listed or waiting for the socket to take more.
    if (c.out.messages() == 1) dirty_.push_back(c.id);
}

std::string Router::stats_message(std::int64_t nowMs) const {
    std::size_t pending = 0;
    for (const auto &[id, c] : clients_) pending += c.out.pending();
    auto line = [](std::string &m, std::string_view name, std::uint64_t value) {
        m.append(name).append(": ").append(std::to_string(value)).append("\r\n");
    };
    std::string m = "POST /stats HTTP/1.1\r\nResult: success\r\n";
    m += "daemonVersion: " + config_.version + "\r\n";
    m += "DaemonId: " + config_.daemonId + "\r\n";
    m += "instanceName: " + config_.instanceName + "\r\n";
    line(m, "uptimeMs", static_cast<std::uint64_t>(nowMs - startedMs_));
    line(m, "connections", clients_.size());
    line(m, "connectionsAccepted", stats_.connectionsAccepted);
    line(m, "clients", stats_.clients);
    line(m, "subscriptions", stats_.subscriptions);
    line(m, "subscribesRefused", stats_.subscribesRefused);
    line(m, "groups", membership_.group_count());
    line(m, "members", membership_.member_count());
    line(m, "eventsIn", stats_.eventsIn);
    line(m, "eventsOut", stats_.eventsOut);
    line(m, "eventsUnmatched", stats_.eventsUnmatched);
    line(m, "eventsDropped", stats_.eventsDropped);
    line(m, "bytesIn", stats_.bytesIn);
    line(m, "bytesOut", stats_.bytesOut);
    line(m, "pendingBytes", pending);
    line(m, "malformedDisconnects", stats_.malformedDisconnects);
    line(m, "slowConsumerDisconnects", stats_.slowConsumerDisconnects);
    m += "\r\n";
    return m;
}

}  // namespace vavevard
