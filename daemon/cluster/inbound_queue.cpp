#include "inbound_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace vavevard::cluster {

InboundQueue::InboundQueue(std::size_t maxEvents, std::size_t maxBytes)
    : maxEvents_(maxEvents), maxBytes_(maxBytes), fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

InboundQueue::~InboundQueue() {
    if (fd_ >= 0) ::close(fd_);
}

bool InboundQueue::push(Inbound &&item) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (item.kind == Inbound::event) {
            if (events_ >= maxEvents_ || item.payload.size() > maxBytes_ - bytes_) {
                ++dropped_[item.node];
                return false;
            }
            ++events_;
            bytes_ += item.payload.size();
        } else {
            if (control_ >= kMaxControl) return false;
            ++control_;
        }
        wake = items_.empty();
        items_.push_back(std::move(item));
    }
    if (wake && fd_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
    }
    return true;
}

void InboundQueue::take(std::deque<Inbound> &out) {
    if (fd_ >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(fd_, &count, sizeof count);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (Inbound &i : items_) out.push_back(std::move(i));
    items_.clear();
    events_ = bytes_ = control_ = 0;
}

std::map<std::string, std::uint64_t> InboundQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

}  // namespace vavevard::cluster
