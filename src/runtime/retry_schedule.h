// The receiver's pauses between connection attempts and between failed
// handshakes, kept apart from the thread so that the whole schedule can be
// checked without waiting it out.
#pragma once

#include <cstdint>

namespace vavevar {

// Pause between connection attempts: 1 s for the first 31 failed attempts,
// then 2, 3 and 4 s, then 5 s for every later one.
struct ConnectPause {
    std::uint32_t interval_ms = 1000;
    std::uint32_t failed = 0;
    std::uint32_t step = 1;

    // The pause to sleep after a failed attempt; advances the schedule.
    std::uint32_t after_failure() {
        std::uint32_t pause = interval_ms;
        failed += 1;
        if (failed > 30 && step < 5) {
            interval_ms += 1000;
            step += 1;
        }
        return pause;
    }
};

// Back-off between failed handshakes: none the first time, then 1, 2, 4 ...
// seconds, capped at 32.
struct HandshakeBackoff {
    std::uint32_t seconds = 0;

    // The pause to sleep after a failed handshake; advances the back-off.
    std::uint32_t after_failure_ms() {
        if (seconds == 0) {
            seconds = 1;
            return 0;
        }
        std::uint32_t pause = seconds * 1000;
        if (seconds < 32) seconds *= 2;
        return pause;
    }
    void succeeded() { seconds = 0; }
};

}  // namespace vavevar
