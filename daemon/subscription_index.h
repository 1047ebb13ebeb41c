// Subscriptions indexed by the event types they can match, so that routing an
// event tests only the subscriptions that may want it: a client holding ten
// thousand subscriptions to other types costs an event nothing.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "client_id.h"
#include "filter.h"

namespace vavevard {

struct SubscriptionKey {
    ClientId client = 0;
    std::int32_t subscriber = 0;
    // By client, then subscriber: the order in which the router delivers.
    auto operator<=>(const SubscriptionKey &) const = default;
};

// Each filter is filed under the type prefixes and suffixes it demands
// (Filter::type_anchors()); those that demand none are kept apart and are
// candidates for every event. Not for concurrent use.
class SubscriptionIndex {
public:
    // Files `key` under what `filter` demands, replacing what it was filed
    // under before. On an exception (out of memory) the index is as it was.
    void add(const SubscriptionKey &key, const Filter &filter);
    // Forgets `key`; an unknown key is ignored.
    void remove(const SubscriptionKey &key) noexcept;

    // Fills `out` with every subscription that can match an event of type
    // `type`, in ascending key order, each once; it may also hold a few that
    // cannot, whose filters then reject the event. `out` is cleared first and
    // keeps its capacity, so a caller that reuses it allocates nothing once it
    // has grown. Costs a pass over `type` from each end and a step per
    // candidate (plus the sort of those filed under an anchor), whatever the
    // number of subscriptions filed under other anchors.
    void candidates(std::string_view type, std::vector<SubscriptionKey> &out) const;

    std::size_t size() const noexcept { return entries_.size(); }

private:
    // An anchor as the index knows it: prefix or suffix, its length, and the
    // hash of its characters read from the type's end inwards (a suffix is
    // hashed backwards). Two anchors with the same slot share a bucket, which
    // costs a needless candidate, never a missed one.
    struct Slot {
        bool suffix;
        std::size_t length;
        std::uint64_t hash;
        auto operator<=>(const Slot &) const = default;
    };
    struct SlotHash {
        std::size_t operator()(const Slot &s) const noexcept {
            return static_cast<std::size_t>(s.hash ^ (s.length * 0x9e3779b97f4a7c15ull) ^ s.suffix);
        }
    };
    struct Entry {
        std::vector<Slot> slots;  // sorted, each once
        bool unconstrained = false;
    };

    void link(const Slot &slot, const SubscriptionKey &key);
    void unlink(const Slot &slot, const SubscriptionKey &key) noexcept;

    std::map<SubscriptionKey, Entry> entries_;
    std::unordered_map<Slot, std::set<SubscriptionKey>, SlotHash> buckets_;
    // Anchor length in use → slots linked with it; [0] prefixes, [1] suffixes.
    std::map<std::size_t, std::size_t> lengths_[2];
    std::set<SubscriptionKey> unconstrained_;
};

}  // namespace vavevard
