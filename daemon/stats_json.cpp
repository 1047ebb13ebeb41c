#include "stats_json.h"

#include "daemon_counters.h"
#include "json_text.h"

namespace vavevard {
namespace {

// A JSON object written member by member.
class Object {
public:
    explicit Object(std::string &out) : out_(out) { out_.push_back('{'); }
    std::string &key(std::string_view name) {
        if (!first_) out_.push_back(',');
        first_ = false;
        append_json_string(out_, name);
        out_.push_back(':');
        return out_;
    }
    void number(std::string_view name, std::uint64_t value) { key(name).append(std::to_string(value)); }
    void boolean(std::string_view name, bool value) { key(name).append(value ? "true" : "false"); }
    void text(std::string_view name, std::string_view value) { append_json_string(key(name), value); }
    void close() { out_.push_back('}'); }

private:
    std::string &out_;
    bool first_ = true;
};

}  // namespace

std::string render_stats_json(const Router &router, const HttpStats &http, std::int64_t nowMs,
                              const StatsDetailLimits &limits) {
    std::string out;
    Object top(out);
    const RouterConfig &config = router.config();
    top.text("daemonVersion", config.version);
    top.text("daemonId", config.daemonId);
    top.text("instanceName", config.instanceName);
    top.number("uptimeMs", static_cast<std::uint64_t>(nowMs > router.started_ms() ? nowMs - router.started_ms() : 0));
    for (const DaemonCounter &c : daemon_counters(router)) top.number(c.name, c.value);

    Object h(top.key("http"));
    h.number("connections", http.connections);
    h.number("connectionsAccepted", http.connectionsAccepted);
    h.number("connectionsRefused", http.connectionsRefused);
    h.number("timeouts", http.timeouts);
    h.key("responses").push_back('[');
    for (std::size_t i = 0; i < HttpStats::kStatuses.size(); ++i) {
        if (i != 0) out.push_back(',');
        Object r(out);
        r.number("status", static_cast<std::uint64_t>(HttpStats::kStatuses[i]));
        r.number("count", http.responses[i]);
        r.close();
    }
    out.push_back(']');
    h.close();

    if (const ClusterLink *link = router.cluster()) {
        ClusterStats c = link->stats();
        Object co(top.key("cluster"));
        co.text("node", c.node);
        co.text("name", c.name);
        co.key("peers").push_back('[');
        for (std::size_t i = 0; i < c.peers.size(); ++i) {
            if (i != 0) out.push_back(',');
            const ClusterPeerStats &p = c.peers[i];
            Object po(out);
            po.text("node", p.node);
            po.boolean("alive", p.alive);
            po.number("eventsReceived", p.eventsReceived);
            po.number("duplicatesDropped", p.duplicatesDropped);
            po.number("eventsDropped", p.eventsDropped);
            po.number("members", p.members);
            po.close();
        }
        out.push_back(']');
        co.close();
    }

    bool cut = false;
    std::size_t clientsListed = 0, subscriptionsListed = 0;
    std::uint64_t clientsOmitted = 0, subscriptionsOmitted = 0;
    auto limited_text = [&](Object &o, std::string_view name, std::string_view cutName, std::string_view value) {
        std::string_view shown = utf8_prefix(value, limits.maxTextBytes);
        o.text(name, shown);
        if (shown.size() != value.size()) {
            o.boolean(cutName, true);
            cut = true;
        }
    };
    top.key("clientList").push_back('[');
    for (const auto &[id, c] : router.clients()) {
        if (clientsListed == limits.maxClients) {
            ++clientsOmitted;
            subscriptionsOmitted += c.subscriptions.size();
            continue;
        }
        if (clientsListed++ != 0) out.push_back(',');
        Object o(out);
        o.number("clientId", id);
        o.text("peer", c.peer);
        o.boolean("connected", c.connected);
        limited_text(o, "selfId", "selfIdTruncated", c.selfId);
        if (c.pid != 0) o.number("pid", static_cast<std::uint64_t>(c.pid));
        else o.key("pid").append("null");
        if (c.uid) o.number("uid", *c.uid);
        else o.key("uid").append("null");
        o.number("bytesIn", c.bytesIn);
        o.number("bytesOut", c.bytesOut);
        o.number("pendingBytes", c.out.pending());
        o.number("subscriptionCount", c.subscriptions.size());
        o.key("subscriptionList").push_back('[');
        std::size_t listedHere = 0;
        for (const auto &[subscriberId, s] : c.subscriptions) {
            if (subscriptionsListed == limits.maxSubscriptions) {
                subscriptionsOmitted += c.subscriptions.size() - listedHere;
                break;
            }
            if (listedHere++ != 0) out.push_back(',');
            ++subscriptionsListed;
            Object so(out);
            so.key("subscriberId").append(std::to_string(subscriberId));
            limited_text(so, "filter", "filterTruncated", s.text);
            so.number("delivered", s.delivered);
            so.close();
        }
        out.push_back(']');
        o.number("subscriptionsOmitted", c.subscriptions.size() - listedHere);
        o.close();
    }
    out.push_back(']');
    top.number("clientsOmitted", clientsOmitted);
    top.number("subscriptionsOmitted", subscriptionsOmitted);
    top.boolean("truncated", cut || clientsOmitted != 0 || subscriptionsOmitted != 0);
    top.close();
    out.push_back('\n');
    return out;
}

}  // namespace vavevard
