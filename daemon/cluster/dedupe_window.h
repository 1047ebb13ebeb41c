// The last few (origin node, event identifier) pairs seen from the cluster,
// so that an event NATS hands over twice reaches local subscribers once.
// Bounded: the oldest pair is forgotten when a new one would exceed the
// capacity, so a duplicate arriving after `capacity` newer events passes.
// For the event loop's thread only.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>

namespace vavevard::cluster {

class DedupeWindow {
public:
    explicit DedupeWindow(std::size_t capacity) : capacity_(capacity) {}

    // True the first time a pair is seen within the window (and it is then
    // remembered); false for a duplicate. An empty identifier identifies
    // nothing and always passes.
    bool first_time(std::string_view node, std::string_view id) {
        if (id.empty() || capacity_ == 0) return true;
        std::string key;
        key.reserve(node.size() + 1 + id.size());
        key.append(node).push_back('\0');
        key.append(id);
        if (seen_.count(key) != 0) return false;
        if (order_.size() >= capacity_) {
            seen_.erase(order_.front());
            order_.pop_front();
        }
        seen_.insert(key);
        order_.push_back(std::move(key));
        return true;
    }

    std::size_t size() const noexcept { return order_.size(); }

private:
    std::size_t capacity_;
    std::deque<std::string> order_;
    std::unordered_set<std::string> seen_;
};

}  // namespace vavevard::cluster
