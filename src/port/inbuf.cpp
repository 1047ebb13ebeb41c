#include "port/inbuf.h"

#include <cstring>

namespace vavevar {
namespace {

// A read asks for this much room at the least when the buffer grows, so that
// one receive takes many small messages.
constexpr std::size_t kFirstRoom = 65536;

}  // namespace

void InputBuffer::compact() noexcept {
    if (pos_ == 0) return;
    buf_.erase_front(pos_);
    scan_ = scan_ > pos_ ? scan_ - pos_ : 0;
    pos_ = 0;
}

void InputBuffer::clear() noexcept {
    buf_.truncate(0);
    pos_ = scan_ = 0;
}

char *InputBuffer::space(std::size_t *length) noexcept {
    compact();
    if (buf_.capacity() - buf_.size() < kInputRoom) {
        std::size_t room = buf_.capacity() == 0 ? kFirstRoom : kInputRoom;
        if (!buf_.reserve(room)) {
            buf_.truncate(buf_.size());  // what it holds stays usable
            return nullptr;
        }
    }
    *length = buf_.capacity() - buf_.size();
    return buf_.data() + buf_.size();
}

bool InputBuffer::feed(const char *bytes, std::size_t length) noexcept {
    compact();
    if (buf_.append(bytes, length)) return true;
    buf_.truncate(buf_.size());
    return false;
}

char *InputBuffer::take_line(std::size_t *length) noexcept {
    char *data = buf_.data();
    std::size_t from = scan_ > pos_ ? scan_ : pos_;
    char *lf = nullptr;
    if (from < buf_.size()) lf = static_cast<char *>(std::memchr(data + from, '\n', buf_.size() - from));
    if (lf == nullptr) {
        scan_ = buf_.size();
        return nullptr;
    }
    std::size_t at = static_cast<std::size_t>(lf - data);
    std::size_t end = at > pos_ && data[at - 1] == '\r' ? at - 1 : at;
    data[end] = '\0';
    if (length != nullptr) *length = end - pos_;
    char *line = data + pos_;
    pos_ = scan_ = at + 1;
    return line;
}

std::size_t InputBuffer::skip(std::size_t count) noexcept {
    std::size_t n = buffered() < count ? buffered() : count;
    pos_ += n;
    return n;
}

std::size_t InputBuffer::take(char *into, std::size_t count) noexcept {
    std::size_t n = buffered() < count ? buffered() : count;
    if (n > 0) std::memcpy(into, buf_.data() + pos_, n);
    pos_ += n;
    return n;
}

}  // namespace vavevar
