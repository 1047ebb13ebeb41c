// What a subscriber was delivered recently, to recognise a replayed event it
// already had. An event is known by a 64-bit digest of its generating
// process and identifier. Memory is fixed: two open-addressed tables of
// kRecordCapacity slots each take turns; when the newer one is half full the
// older is cleared and becomes the newer, so the last kRecordCapacity / 2 to
// kRecordCapacity events are remembered (after a reconnection the replays
// that can repeat a delivery are the events just before the link broke).
#pragma once

#include <cstdint>

#include "vavevar.h"

namespace vavevar {

class ReplayRecord {
public:
    static constexpr std::uint32_t kRecordCapacity = 4096;  // slots per table, a power of two

    // Null when memory runs out.
    static ReplayRecord *create() noexcept;
    static void destroy(ReplayRecord *record) noexcept;

    // The digest of an event; 0 for one that has neither a generating
    // process nor an identifier (such an event cannot be recognised).
    static std::uint64_t key_of(const lumo_notification *n) noexcept;

    bool contains(std::uint64_t key) const noexcept;
    void add(std::uint64_t key) noexcept;

private:
    ReplayRecord() = default;
    static bool find(const std::uint64_t *table, std::uint64_t key) noexcept;

    std::uint64_t newer_[kRecordCapacity];
    std::uint64_t older_[kRecordCapacity];
    std::uint32_t newerCount_ = 0;
};

}  // namespace vavevar
