#include "outqueue.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

#include "notification.h"

namespace vavevard {

void OutQueue::push(std::string bytes) {
    pending_ += bytes.size();
    ownBytes_ += bytes.capacity() + sizeof(Item);
    items_.push_back(Item{std::move(bytes), nullptr, std::string::npos});
}

void OutQueue::push(Item item) {
    pending_ += item.head.size() + (item.tail ? item.tail->size() : 0);
    ownBytes_ += item.head.capacity() + sizeof(Item);
    items_.push_back(std::move(item));
}

ssize_t OutQueue::send_to(int fd, std::int64_t nowMs) {
    constexpr std::size_t kMaxIov = 64;
    iovec iov[kMaxIov];
    ssize_t total = 0;
    while (!items_.empty()) {
        std::size_t n = 0;
        std::size_t skip = offset_;
        for (auto it = items_.begin(); it != items_.end() && n + 2 <= kMaxIov; ++it) {
            if (it->deliveryOffset != std::string::npos && (it != items_.begin() || offset_ == 0)) {
                write_delivery_digits(it->head.data() + it->deliveryOffset, nowMs);
                it->deliveryOffset = std::string::npos;
            }
            std::string_view parts[2] = {it->head, it->tail ? std::string_view(*it->tail)
                                                            : std::string_view{}};
            for (std::string_view part : parts) {
                if (skip >= part.size()) {
                    skip -= part.size();
                    continue;
                }
                iov[n].iov_base = const_cast<char *>(part.data() + skip);
                iov[n].iov_len = part.size() - skip;
                skip = 0;
                ++n;
            }
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = n;
        ssize_t sent = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return total;
            return -1;
        }
        total += sent;
        pending_ -= static_cast<std::size_t>(sent);
        std::size_t done = offset_ + static_cast<std::size_t>(sent);
        while (!items_.empty()) {
            const Item &front = items_.front();
            std::size_t size = front.head.size() + (front.tail ? front.tail->size() : 0);
            if (done < size) break;
            done -= size;
            ownBytes_ -= front.head.capacity() + sizeof(Item);
            items_.pop_front();
        }
        offset_ = done;
    }
    return total;
}

}  // namespace vavevard
