#include "outqueue.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>

#include "notification.h"
#include "wire/event_texts.h"
#include "wire/flow_texts.h"

namespace vavevard {

static_assert(RenderedEvent::kDeliveryDigits == 13);

namespace wire = vavevar::wire;
static_assert(wire::kReplayLine.size() > wire::kEventLine.size());
const std::size_t OutQueue::kReplayExtra = wire::kReplayLine.size() - wire::kEventLine.size();

void OutQueue::push(std::string bytes) {
    items_.emplace_back().text = std::move(bytes);
    pending_ += items_.back().size();
    ownBytes_ += items_.back().own_bytes();
}

void OutQueue::push(const EventBytes &event, std::int32_t subscriberId, bool replay) {
    Item &item = items_.emplace_back();
    item.event = event;
    item.replay = replay;
    auto end = std::to_chars(item.id, item.id + sizeof item.id, subscriberId).ptr;
    item.idSize = static_cast<std::uint8_t>(end - item.id);
    pending_ += item.size();
    ownBytes_ += item.own_bytes();
}

ssize_t OutQueue::send_to(int fd, std::int64_t nowMs) {
    // As much as one call takes: each call costs a pass through the TCP
    // stack and a wake-up of the reader, whatever it carries, so a flood goes
    // out in as few as the socket's room allows. Small pieces are copied
    // together first: the kernel copies one long run of bytes faster than
    // many short ones, and an event's id and time are a few bytes each.
    constexpr std::size_t kMaxIov = IOV_MAX;
    constexpr std::size_t kMaxParts = 6;
    constexpr std::size_t kCopied = 256 * 1024;   // bytes copied together per call, at most
    constexpr std::size_t kCopyBelow = 4096;      // larger pieces go as they are
    static thread_local std::unique_ptr<char[]> copy(new char[kCopied]);
    iovec iov[kMaxIov];
    char stamp[kDeliveryDigits];
    write_delivery_digits(stamp, nowMs);
    ssize_t total = 0;
    while (!items_.empty()) {
        std::size_t n = 0;
        std::size_t used = 0;
        // False once the call has no room for `part`.
        auto add = [&](std::string_view part) noexcept {
            if (part.size() >= kCopyBelow) {
                if (n == kMaxIov) return false;
                iov[n++] = iovec{const_cast<char *>(part.data()), part.size()};
                return true;
            }
            if (used + part.size() > kCopied) return false;
            char *at = copy.get() + used;
            bool joins = n > 0 && static_cast<char *>(iov[n - 1].iov_base) + iov[n - 1].iov_len == at;
            if (!joins && n == kMaxIov) return false;
            std::memcpy(at, part.data(), part.size());
            used += part.size();
            if (joins) iov[n - 1].iov_len += part.size();
            else iov[n++] = iovec{at, part.size()};
            return true;
        };
        std::size_t skip = offset_;
        bool room = true;
        for (auto it = items_.begin(); it != items_.end() && room; ++it) {
            std::string_view parts[kMaxParts];
            std::size_t count = 1;
            if (!it->event) {
                parts[0] = it->text;
            } else {
                // Stamped again at each attempt until its first byte has
                // gone: a message that waited for the socket says when it
                // did go.
                if (it != items_.begin() || offset_ == 0) std::memcpy(it->delivery, stamp, sizeof stamp);
                std::string_view head = it->event.piece(EventBytes::before_id);
                count = 0;
                if (it->replay) {
                    parts[count++] = wire::kReplayLine;
                    head.remove_prefix(wire::kEventLine.size());
                }
                parts[count++] = head;
                parts[count++] = std::string_view(it->id, it->idSize);
                parts[count++] = it->event.piece(EventBytes::after_id);
                parts[count++] = std::string_view(it->delivery, sizeof it->delivery);
                parts[count++] = it->event.piece(EventBytes::tail);
            }
            for (std::size_t p = 0; p < count && room; ++p) {
                std::string_view part = parts[p];
                if (skip >= part.size()) {
                    skip -= part.size();
                    continue;
                }
                room = add(part.substr(skip));
                skip = 0;
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
            std::size_t size = front.size();
            if (done < size) break;
            done -= size;
            ownBytes_ -= front.own_bytes();
            items_.pop_front();
        }
        offset_ = done;
    }
    return total;
}

}  // namespace vavevard
