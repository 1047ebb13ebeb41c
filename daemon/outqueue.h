// The output waiting for one client, as a queue of messages that are written
// with gathered sends. An event's body is shared by all its recipients, and
// its delivery time is filled in when the message starts going out, so it says
// when the daemon sent it rather than when it was queued.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace vavevard {

class OutQueue {
public:
    struct Item {
        std::string head;
        std::shared_ptr<const std::string> tail;  // may be null
        std::size_t deliveryOffset = std::string::npos;  // digits to stamp in head
    };

    void push(std::string bytes);
    void push(Item item);

    // Bytes the client has yet to read, its share of shared bodies included.
    std::size_t pending() const noexcept { return pending_; }
    // Memory the queue itself holds: heads, plain messages and its own
    // bookkeeping, without the shared bodies (which are counted once).
    std::size_t own_bytes() const noexcept { return ownBytes_; }
    bool empty() const noexcept { return items_.empty(); }
    // What is left to send of the message queued last (0 when none waits):
    // the output bound applies to what waits in front of it.
    std::size_t newest_bytes() const noexcept {
        if (items_.size() <= 1) return pending_;
        const Item &newest = items_.back();
        return newest.head.size() + (newest.tail ? newest.tail->size() : 0);
    }
    std::size_t messages() const noexcept { return items_.size(); }

    // Sends as much as the socket takes without blocking. Returns the number
    // of bytes sent (0 when the socket is full), or -1 with errno set when the
    // connection failed.
    ssize_t send_to(int fd, std::int64_t nowMs);

private:
    std::deque<Item> items_;
    std::size_t offset_ = 0;  // bytes of the front item already sent
    std::size_t pending_ = 0;
    std::size_t ownBytes_ = 0;
};

}  // namespace vavevard
