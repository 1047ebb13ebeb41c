#include "outbound_queue.h"

namespace vavevard::cluster {

bool OutboundQueue::push(Outbound &&item) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return false;
        if (item.event) {
            if (events_ >= maxEvents_ || item.payload.size() > maxBytes_ - bytes_) return false;
            ++events_;
            bytes_ += item.payload.size();
        } else {
            if (control_ >= kMaxControl) return false;
            ++control_;
        }
        items_.push_back(std::move(item));
    }
    ready_.notify_one();
    return true;
}

bool OutboundQueue::take(std::deque<Outbound> &out) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return closed_ || !items_.empty(); });
    if (items_.empty()) return false;
    for (Outbound &o : items_) out.push_back(std::move(o));
    items_.clear();
    events_ = bytes_ = control_ = 0;
    return true;
}

void OutboundQueue::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

std::size_t OutboundQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

}  // namespace vavevard::cluster
