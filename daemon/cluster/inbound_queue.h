// What libnats's threads hand to the event loop: events from other nodes and
// the cluster's control messages, in arrival order. Bounded: an event that
// would take the queue past its count or bytes is dropped and counted
// against the node it came from; control messages (heartbeats, goodbyes,
// member snapshots, the link's state) have a bound of their own, since
// losing one costs more than an event and they come at a bounded rate.
// The loop is woken through an eventfd it polls, written when the queue goes
// from empty to not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace vavevard::cluster {

struct Inbound {
    enum Kind { event, heartbeat, goodbye, members, members_wanted, link_down, link_up, reconnected,
                name_claimed } kind = event;
    std::string node;     // where it came from (the sender's node name)
    std::string payload;  // as published
};

class InboundQueue {
public:
    InboundQueue(std::size_t maxEvents, std::size_t maxBytes);
    ~InboundQueue();
    InboundQueue(const InboundQueue &) = delete;
    InboundQueue &operator=(const InboundQueue &) = delete;

    // The descriptor the loop polls; -1 when none could be made.
    int fd() const noexcept { return fd_; }

    // From any thread. False when the item was dropped (and counted).
    bool push(Inbound &&item);

    // Moves everything queued to `out` (appended) and resets the descriptor.
    void take(std::deque<Inbound> &out);

    // Events dropped over the bound, by the node they came from.
    std::map<std::string, std::uint64_t> dropped() const;

private:
    static constexpr std::size_t kMaxControl = 4096;

    const std::size_t maxEvents_, maxBytes_;
    int fd_ = -1;
    mutable std::mutex mutex_;
    std::deque<Inbound> items_;            // guarded by mutex_
    std::size_t events_ = 0, bytes_ = 0;   // of events in items_, guarded by mutex_
    std::size_t control_ = 0;              // control items in items_, guarded by mutex_
    std::map<std::string, std::uint64_t> dropped_;  // guarded by mutex_
};

}  // namespace vavevard::cluster
