#include "daemon_counters.h"

namespace vavevard {

std::vector<DaemonCounter> daemon_counters(const Router &router) {
    const Stats &s = router.stats();
    std::uint64_t pending = 0;
    for (const auto &[id, c] : router.clients()) pending += c.out.pending();
    const Membership &m = router.membership();
    std::vector<DaemonCounter> counters{
        {"connections", "vavevard_connections", true, "Open protocol connections, handshake done or not.",
         router.clients().size()},
        {"connectionsAccepted", "vavevard_connections_accepted_total", false, "Protocol connections accepted.",
         s.connectionsAccepted},
        {"clients", "vavevard_clients", true, "Protocol connections past a successful handshake.", s.clients},
        {"subscriptions", "vavevard_subscriptions", true, "Subscriptions held.", s.subscriptions},
        {"subscribesRefused", "vavevard_subscribes_refused_total", false, "Subscribes answered with a failure.",
         s.subscribesRefused},
        {"groups", "vavevard_groups", true, "Membership groups.", m.group_count()},
        {"members", "vavevard_members", true, "Members of membership groups.", m.member_count()},
        {"eventsIn", "vavevard_events_in_total", false, "Events received from publishers.", s.eventsIn},
        {"eventsOut", "vavevard_events_out_total", false,
         "Event messages queued for subscribers, membership notifications included.", s.eventsOut},
        {"eventsUnmatched", "vavevard_events_unmatched_total", false, "Events no subscription matched.",
         s.eventsUnmatched},
        {"eventsDropped", "vavevard_events_dropped_total", false,
         "Events not delivered: of an unknown class, or for a client that was dropped or went away.",
         s.eventsDropped},
        {"bytesIn", "vavevard_bytes_in_total", false, "Bytes read from protocol connections.", s.bytesIn},
        {"bytesOut", "vavevard_bytes_out_total", false, "Bytes written to protocol connections.", s.bytesOut},
        {"pendingBytes", "vavevard_pending_bytes", true, "Output queued for clients and not yet sent.", pending},
        {"malformedDisconnects", "vavevard_malformed_disconnects_total", false,
         "Connections closed for a malformed request or a protocol error.", s.malformedDisconnects},
        {"slowConsumerDisconnects", "vavevard_slow_consumer_disconnects_total", false,
         "Connections closed for reading none of their output for the slow-client time-out.", s.slowConsumerDisconnects},
        {"eventsSkipped", "vavevard_events_skipped_total", false,
         "Events not queued for a client over its output bound (its subscribers are sent a gap notice).",
         s.eventsSkipped},
        {"gapNotices", "vavevard_gap_notices_total", false,
         "Gap notices queued for subscriptions whose events were skipped.", s.gapNotices},
        {"eventsHeld", "vavevard_events_held_total", false, "Events held in the replay window after start.",
         s.eventsHeld},
        {"eventsNotHeld", "vavevard_events_not_held_total", false,
         "Events received in the replay window that did not fit in it.", s.eventsNotHeld},
        {"eventsReplayed", "vavevard_events_replayed_total", false,
         "Replayed events queued for resubscriptions.", s.eventsReplayed},
        {"replayHeldEvents", "vavevard_replay_held_events", true, "Events the replay window holds now.",
         router.replay_held()},
        {"filterTests", "vavevard_filter_tests_total", false, "Filters tested against events.", s.filterTests},
        {"filterBudgetExceeded", "vavevard_filter_budget_exceeded_total", false,
         "Filter tests given up as over their work budget.", s.filterBudgetExceeded},
        {"connectionsRefused", "vavevard_connections_refused_total", false,
         "Protocol connections shed at accept or refused at connect.", s.connectionsRefused},
        {"timeoutDisconnects", "vavevard_timeout_disconnects_total", false,
         "Connections closed for no handshake in time, or idle too long.", s.timeoutDisconnects},
        {"memoryDisconnects", "vavevard_memory_disconnects_total", false,
         "Connections dropped to bring the daemon under its memory bound.", s.memoryDisconnects},
        {"allocationFailures", "vavevard_allocation_failures_total", false,
         "Requests or connections given up for lack of memory.", s.allocationFailures},
        {"heldBytes", "vavevard_held_bytes", true, "Memory clients make the daemon hold.",
         router.account()->held()},
        {"heldBytesLimit", "vavevard_held_bytes_limit", true, "The bound on heldBytes.",
         router.config().limits.maxTotalBytes},
    };
    // In a cluster only: a daemon serving its machine alone says what it always said.
    if (const ClusterLink *link = router.cluster()) {
        ClusterStats c = link->stats();
        counters.insert(counters.end(), {
            {"clusterLinkUp", "vavevard_cluster_link_up", true, "1 while the link to NATS is up, else 0.",
             c.linkUp ? 1u : 0u},
            {"clusterDisconnects", "vavevard_cluster_disconnects_total", false, "Times the link to NATS was lost.",
             c.disconnects},
            {"clusterReconnects", "vavevard_cluster_reconnects_total", false, "Times the link to NATS came back.",
             c.reconnects},
            {"clusterEventsForwarded", "vavevard_cluster_events_forwarded_total", false,
             "Local events handed to NATS for other nodes.", c.eventsForwarded},
            {"clusterEventsForwardDropped", "vavevard_cluster_events_forward_dropped_total", false,
             "Local events not forwarded: over the outbound bound or the reconnect buffer, or refused by NATS.",
             c.eventsForwardDropped},
            {"clusterEventsReceived", "vavevard_cluster_events_received_total", false,
             "Events from other nodes routed to local subscribers.", c.eventsReceived},
            {"clusterDuplicatesDropped", "vavevard_cluster_duplicates_dropped_total", false,
             "Events from other nodes dropped as already seen.", c.duplicatesDropped},
            {"clusterEventsInboundDropped", "vavevard_cluster_events_inbound_dropped_total", false,
             "Events from other nodes dropped over the inbound bound, or unreadable.", c.eventsInboundDropped},
            {"clusterOutboundQueued", "vavevard_cluster_outbound_queued", true,
             "Messages waiting for the bridge thread to publish them.", c.outboundQueued},
            {"clusterPeersAlive", "vavevard_cluster_peers_alive", true,
             "Other nodes heard from within the grace period.", c.peersAlive},
            {"clusterRemoteMembers", "vavevard_cluster_remote_members", true,
             "Members of other nodes in the local groups.", c.remoteMembers},
        });
    }
    return counters;
}

}  // namespace vavevard
