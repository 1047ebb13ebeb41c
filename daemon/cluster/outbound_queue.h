// What the event loop hands to the bridge thread for NATS: the loop never
// waits on the network, however slow the link or a remote node. Bounded in
// count and bytes: an event that would take the queue past either is not
// queued and is counted; control messages (heartbeats, member snapshots,
// the goodbye) have a bound of their own so that a burst of events cannot
// silence a node's heartbeats.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace vavevard::cluster {

struct Outbound {
    bool event = true;                  // false: a control message
    std::vector<std::string> subjects;  // one publish to each
    std::string payload;
};

class OutboundQueue {
public:
    OutboundQueue(std::size_t maxEvents, std::size_t maxBytes) : maxEvents_(maxEvents), maxBytes_(maxBytes) {}

    // False when the item was not queued: over the bound, or closed.
    bool push(Outbound &&item);

    // Waits until something is queued or the queue is closed, then moves
    // everything to `out`. False once closed and empty.
    bool take(std::deque<Outbound> &out);

    // Wakes take() for good; what is queued is still taken.
    void close();

    std::size_t size() const;

private:
    static constexpr std::size_t kMaxControl = 1024;

    const std::size_t maxEvents_, maxBytes_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Outbound> items_;           // guarded by mutex_
    std::size_t events_ = 0, bytes_ = 0;   // guarded by mutex_
    std::size_t control_ = 0;              // guarded by mutex_
    bool closed_ = false;                  // guarded by mutex_
};

}  // namespace vavevard::cluster
