// The output waiting for one client, as a queue of messages that are written
// with gathered sends. An event's bytes are shared by all its recipients;
// each queues beside them only its subscriber id and its delivery time, which
// is filled in when the message starts going out, so it says when the daemon
// sent it rather than when it was queued.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "event_bytes.h"

namespace vavevard {

class OutQueue {
public:
    void push(std::string bytes);
    // An event for subscriber `subscriberId`; a replayed one goes out with
    // the replay request line instead of the event's, every other byte the same.
    void push(const EventBytes &event, std::int32_t subscriberId, bool replay = false);

    // Bytes the client has yet to read, its share of shared bytes included.
    std::size_t pending() const noexcept { return pending_; }
    // Memory the queue itself holds: plain messages and its own bookkeeping,
    // without the shared bytes (which are counted once).
    std::size_t own_bytes() const noexcept { return ownBytes_; }
    bool empty() const noexcept { return items_.empty(); }
    // What is left to send of the message queued last (0 when none waits):
    // the output bound applies to what waits in front of it.
    std::size_t newest_bytes() const noexcept {
        return items_.size() <= 1 ? pending_ : items_.back().size();
    }
    std::size_t messages() const noexcept { return items_.size(); }

    // Sends as much as the socket takes without blocking. Returns the number
    // of bytes sent (0 when the socket is full), or -1 with errno set when the
    // connection failed.
    ssize_t send_to(int fd, std::int64_t nowMs);

private:
    static constexpr std::size_t kDeliveryDigits = 13;  // RenderedEvent's
    static const std::size_t kReplayExtra;  // the replay line's bytes beyond the event line's
    struct Item {
        std::string text;   // a plain message; empty for an event
        EventBytes event;   // null for a plain message
        std::uint8_t idSize = 0;
        bool replay = false;
        char id[11];        // the subscriber id's digits, a sign included
        char delivery[kDeliveryDigits];
        std::size_t size() const noexcept {
            return event ? event.size() + idSize + kDeliveryDigits + (replay ? kReplayExtra : 0) : text.size();
        }
        std::size_t own_bytes() const noexcept {
            return event ? sizeof(Item) : text.capacity() + sizeof(Item);
        }
    };

    std::deque<Item> items_;
    std::size_t offset_ = 0;  // bytes of the front item already sent
    std::size_t pending_ = 0;
    std::size_t ownBytes_ = 0;
};

}  // namespace vavevard
