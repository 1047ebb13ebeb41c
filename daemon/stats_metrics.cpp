#include "stats_metrics.h"

#include <cstdio>
#include <string_view>

#include "daemon_counters.h"

namespace vavevard {
namespace {

void family(std::string &out, std::string_view name, bool gauge, std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(gauge ? " gauge\n" : " counter\n");
}

void sample(std::string &out, std::string_view name, std::uint64_t value) {
    out.append(name).append(" ").append(std::to_string(value)).append("\n");
}

// A label value with backslash, quote and line feed escaped, as the format
// asks.
std::string label_value(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out.append("\\\\");
        else if (c == '"') out.append("\\\"");
        else if (c == '\n') out.append("\\n");
        else out.push_back(c);
    }
    return out;
}

}  // namespace

std::string render_metrics(const Router &router, const HttpStats &http, std::int64_t nowMs) {
    std::string out;
    // The router knows the version as the handshake gives it, "vavevard 1.2.3".
    std::string_view version = router.config().version;
    if (std::size_t space = version.rfind(' '); space != std::string_view::npos) version.remove_prefix(space + 1);
    family(out, "vavevard_build_info", true, "The daemon's version, in the label; always 1.");
    out.append("vavevard_build_info{version=\"").append(label_value(version)).append("\"} 1\n");

    std::int64_t upMs = nowMs > router.started_ms() ? nowMs - router.started_ms() : 0;
    char uptime[32];
    std::snprintf(uptime, sizeof uptime, "%lld.%03lld", static_cast<long long>(upMs / 1000),
                  static_cast<long long>(upMs % 1000));
    family(out, "vavevard_uptime_seconds", true, "Seconds since the daemon started.");
    out.append("vavevard_uptime_seconds ").append(uptime).append("\n");

    for (const DaemonCounter &c : daemon_counters(router)) {
        family(out, c.metric, c.gauge, c.help);
        sample(out, c.metric, c.value);
    }

    if (const ClusterLink *link = router.cluster()) {
        ClusterStats c = link->stats();
        auto per_peer = [&](std::string_view name, bool gauge, std::string_view help, auto value) {
            family(out, name, gauge, help);
            for (const ClusterPeerStats &p : c.peers)
                out.append(name).append("{node=\"").append(label_value(p.node)).append("\"} ")
                    .append(std::to_string(value(p))).append("\n");
        };
        per_peer("vavevard_cluster_peer_up", true, "1 while the node was heard from within the grace period.",
                 [](const ClusterPeerStats &p) { return p.alive ? 1u : 0u; });
        per_peer("vavevard_cluster_peer_events_received_total", false, "Events from the node routed here.",
                 [](const ClusterPeerStats &p) { return p.eventsReceived; });
        per_peer("vavevard_cluster_peer_duplicates_dropped_total", false, "Events from the node dropped as already seen.",
                 [](const ClusterPeerStats &p) { return p.duplicatesDropped; });
        per_peer("vavevard_cluster_peer_events_dropped_total", false,
                 "Events from the node dropped over the inbound bound, or unreadable.",
                 [](const ClusterPeerStats &p) { return p.eventsDropped; });
        per_peer("vavevard_cluster_peer_members", true, "Members of the node in the local groups.",
                 [](const ClusterPeerStats &p) { return p.members; });
    }

    family(out, "vavevard_http_connections", true, "Open monitoring connections.");
    sample(out, "vavevard_http_connections", http.connections);
    family(out, "vavevard_http_connections_accepted_total", false, "Monitoring connections accepted.");
    sample(out, "vavevard_http_connections_accepted_total", http.connectionsAccepted);
    family(out, "vavevard_http_connections_refused_total", false,
           "Monitoring connections refused: over the endpoint's bound, or out of descriptors.");
    sample(out, "vavevard_http_connections_refused_total", http.connectionsRefused);
    family(out, "vavevard_http_timeouts_total", false,
           "Monitoring connections closed for not sending a request, or not reading the answer, in time.");
    sample(out, "vavevard_http_timeouts_total", http.timeouts);
    family(out, "vavevard_http_responses_total", false, "Monitoring answers sent, by status.");
    for (std::size_t i = 0; i < HttpStats::kStatuses.size(); ++i)
        out.append("vavevard_http_responses_total{code=\"")
            .append(std::to_string(HttpStats::kStatuses[i]))
            .append("\"} ")
            .append(std::to_string(http.responses[i]))
            .append("\n");
    return out;
}

}  // namespace vavevard
