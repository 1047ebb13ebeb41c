// The events a freshly started daemon holds for a while, so that a library
// that lost its connection to the daemon before (and reconnects within a few
// seconds) can be handed what was published before it had subscribed again.
// Each event is held once, whatever it is later replayed to: its rendered
// bytes are the block its live recipients share, and beside them only what a
// filter reads (never the body).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "event_bytes.h"
#include "memory_account.h"
#include "notification.h"

namespace vavevard {

struct ReplayWindow {
    std::int64_t ms = 0;     // from the start; 0: nothing is held
    std::size_t bytes = 0;   // held at most, rendered bytes and filter fields together
};

class ReplayStore {
public:
    ReplayStore(ReplayWindow window, std::int64_t startMonoMs, std::shared_ptr<MemoryAccount> account);

    // Whether events are held at `nowMonoMs`; once the window has passed,
    // everything held is let go and nothing is held again.
    bool open(std::int64_t nowMonoMs) noexcept;
    // Whether the window has closed for good: no clock needed to know.
    bool ended() const noexcept { return closed_; }

    // Holds `event` (its body apart), and `bytes`, its rendering. False when
    // it does not fit in what is left of the window's bytes (or memory),
    // and the event is not held.
    bool hold(const Notification &event, const EventBytes &bytes) noexcept;

    // Calls `f(event, bytes)` for each event held, in arrival order.
    template <typename F>
    void for_each(F &&f) const {
        for (const Held &h : held_) f(h.event, h.bytes);
    }

    std::size_t size() const noexcept { return held_.size(); }
    std::size_t bytes() const noexcept { return bytes_; }

private:
    struct Held {
        Notification event;  // without its body
        EventBytes bytes;
    };

    ReplayWindow window_;
    std::int64_t closesMs_;
    bool closed_;
    std::deque<Held> held_;
    std::size_t bytes_ = 0;
    AccountedBytes fields_;  // what the copies of the fields hold; the bytes count themselves
};

}  // namespace vavevard
