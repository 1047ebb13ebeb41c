#include "port/bytebuf.h"

#include <cstdint>
#include <cstring>

#include "port/memory.h"

namespace vavevar {
namespace {

constexpr std::size_t kFirstCapacity = 256;

}  // namespace

ByteBuffer::~ByteBuffer() { lumo_free(data_); }

bool ByteBuffer::reserve(std::size_t length) noexcept {
    if (!ok_) return false;
    if (capacity_ - size_ >= length) return true;
    if (length > SIZE_MAX / 2 - size_) {
        ok_ = false;
        return false;
    }
    // Doubling keeps a message built piece by piece linear in its size.
    std::size_t wanted = size_ + length;
    std::size_t capacity = capacity_ < kFirstCapacity ? kFirstCapacity : capacity_;
    while (capacity < wanted) capacity *= 2;
    auto *grown = static_cast<char *>(lumo_realloc(data_, capacity));
    if (grown == nullptr) {
        ok_ = false;
        return false;
    }
    data_ = grown;
    capacity_ = capacity;
    return true;
}

bool ByteBuffer::append_growing(const char *bytes, std::size_t length) noexcept {
    if (length == 0 || !reserve(length)) return ok_;
    std::memcpy(data_ + size_, bytes, length);
    size_ += length;
    return true;
}

void ByteBuffer::truncate(std::size_t size) noexcept {
    if (size < size_) size_ = size;
    ok_ = true;
}

void ByteBuffer::erase_front(std::size_t count) noexcept {
    if (count >= size_) {
        size_ = 0;
        return;
    }
    std::memmove(data_, data_ + count, size_ - count);
    size_ -= count;
}

void ByteBuffer::release() noexcept {
    lumo_free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
    ok_ = true;
}

}  // namespace vavevar
