// What the monitoring endpoint counts about itself; kept apart from the
// router's counters, which are about the protocol's clients.
#pragma once

#include <array>
#include <cstdint>

namespace vavevard {

struct HttpStats {
    // The statuses the endpoint answers with, in the order their counts are kept.
    static constexpr std::array<int, 9> kStatuses{200, 400, 403, 404, 405, 408, 431, 503, 505};

    std::uint64_t connections = 0;          // open now
    std::uint64_t connectionsAccepted = 0;
    std::uint64_t connectionsRefused = 0;   // over the endpoint's bound, or out of descriptors
    std::uint64_t timeouts = 0;             // closed for not sending a head, or not reading the answer, in time
    std::array<std::uint64_t, kStatuses.size()> responses{};

    void count_response(int status) noexcept {
        for (std::size_t i = 0; i < kStatuses.size(); ++i)
            if (kStatuses[i] == status) ++responses[i];
    }
};

}  // namespace vavevard
