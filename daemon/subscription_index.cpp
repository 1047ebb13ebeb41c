#include "subscription_index.h"

#include <algorithm>

#include "text_hash.h"

namespace vavevard {

void SubscriptionIndex::add(const SubscriptionKey &key, const Filter &filter) {
    // Everything that can fail is done before the index changes, or undone.
    Entry fresh;
    auto anchors = filter.type_anchors();
    fresh.unconstrained = !anchors;
    if (anchors) {
        fresh.slots.reserve(anchors->size());
        for (const TypeAnchor &a : *anchors) {
            std::uint64_t hash = kTextHashStart;
            if (a.suffix)
                for (auto c = a.text.rbegin(); c != a.text.rend(); ++c) hash = text_hash_step(hash, *c);
            else
                hash = text_hash(a.text);
            fresh.slots.push_back({a.suffix, a.text.size(), hash});
        }
        std::sort(fresh.slots.begin(), fresh.slots.end());
        fresh.slots.erase(std::unique(fresh.slots.begin(), fresh.slots.end()), fresh.slots.end());
    }
    auto [it, inserted] = entries_.try_emplace(key);
    Entry &old = it->second;
    auto had = [&](const Slot &s) {
        return std::binary_search(old.slots.begin(), old.slots.end(), s);
    };
    std::size_t done = 0;
    try {
        for (; done < fresh.slots.size(); ++done)
            if (!had(fresh.slots[done])) link(fresh.slots[done], key);
        if (fresh.unconstrained && !old.unconstrained) unconstrained_.insert(key);
    } catch (...) {
        for (std::size_t i = 0; i < done; ++i)
            if (!had(fresh.slots[i])) unlink(fresh.slots[i], key);
        if (inserted) entries_.erase(it);
        throw;
    }
    for (const Slot &s : old.slots)
        if (!std::binary_search(fresh.slots.begin(), fresh.slots.end(), s)) unlink(s, key);
    if (old.unconstrained && !fresh.unconstrained) unconstrained_.erase(key);
    old = std::move(fresh);
}

void SubscriptionIndex::remove(const SubscriptionKey &key) noexcept {
    auto it = entries_.find(key);
    if (it == entries_.end()) return;
    for (const Slot &s : it->second.slots) unlink(s, key);
    if (it->second.unconstrained) unconstrained_.erase(key);
    entries_.erase(it);
}

void SubscriptionIndex::link(const Slot &slot, const SubscriptionKey &key) {
    auto bucket = buckets_.try_emplace(slot).first;
    try {
        bucket->second.insert(key);
        ++lengths_[slot.suffix][slot.length];
    } catch (...) {
        bucket->second.erase(key);
        if (bucket->second.empty()) buckets_.erase(bucket);
        throw;
    }
}

void SubscriptionIndex::unlink(const Slot &slot, const SubscriptionKey &key) noexcept {
    auto bucket = buckets_.find(slot);
    if (bucket == buckets_.end() || bucket->second.erase(key) == 0) return;
    if (bucket->second.empty()) buckets_.erase(bucket);
    auto &lengths = lengths_[slot.suffix];
    auto length = lengths.find(slot.length);
    if (--length->second == 0) lengths.erase(length);
}

void SubscriptionIndex::candidates(std::string_view type,
                                   std::vector<SubscriptionKey> &out) const {
    out.clear();
    // One pass over the type from each end, hashing its prefixes (and its
    // suffixes, backwards) as it goes and looking up each length some filter
    // uses.
    for (bool suffix : {false, true}) {
        std::uint64_t hash = kTextHashStart;
        std::size_t hashed = 0;
        for (const auto &[length, uses] : lengths_[suffix]) {
            if (length > type.size()) break;
            for (; hashed < length; ++hashed)
                hash = text_hash_step(hash, type[suffix ? type.size() - 1 - hashed : hashed]);
            auto bucket = buckets_.find(Slot{suffix, length, hash});
            if (bucket != buckets_.end())
                out.insert(out.end(), bucket->second.begin(), bucket->second.end());
        }
    }
    std::size_t constrained = out.size();
    if (constrained > 1) {
        std::sort(out.begin(), out.end());
        constrained = std::unique(out.begin(), out.end()) - out.begin();
    }
    // The unconstrained are merged in from the back, where the room is, so
    // no constrained key is overwritten before it has been moved.
    out.resize(constrained + unconstrained_.size());
    std::size_t write = out.size(), read = constrained;
    for (auto u = unconstrained_.rbegin(); u != unconstrained_.rend();)
        out[--write] = read > 0 && *u < out[read - 1] ? out[--read] : *u++;
}

}  // namespace vavevard
