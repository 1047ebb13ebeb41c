// A growable block of bytes from the library's allocator: messages on their
// way to the daemon, and bytes on their way in (port/inbuf.h).
//
// Once an append finds no memory the buffer is marked failed: it keeps what
// it held, takes no further bytes and says so through ok(), so that a writer
// can append a whole message and check once at the end. One thread uses a
// buffer at a time.
#pragma once

#include <cstddef>
#include <cstring>

namespace vavevar {

class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    ~ByteBuffer();
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;

    // Appends `length` bytes; returns ok(). Messages are built from many
    // short pieces, so the common case (room enough) is inline.
    bool append(const char *bytes, std::size_t length) noexcept {
        if (ok_ && capacity_ - size_ >= length) {
            if (length > 0) std::memcpy(data_ + size_, bytes, length);
            size_ += length;
            return true;
        }
        return append_growing(bytes, length);
    }

    // Makes room for at least `length` bytes behind the content; returns
    // false (and marks the buffer failed) when memory runs out.
    bool reserve(std::size_t length) noexcept;

    // The content grew by `length` bytes written into the room behind it.
    // REQUIRES: length <= capacity() - size().
    void grew(std::size_t length) noexcept { size_ += length; }

    // Keeps the first `size` bytes and forgets a failure, so that a writer
    // that could not finish its message takes back what it wrote.
    void truncate(std::size_t size) noexcept;

    // Drops the first `count` bytes, moving the rest to the front.
    void erase_front(std::size_t count) noexcept;

    // Empties the buffer and gives its memory back.
    void release() noexcept;

    bool ok() const noexcept { return ok_; }
    char *data() noexcept { return data_; }
    const char *data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }

private:
    bool append_growing(const char *bytes, std::size_t length) noexcept;

    char *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool ok_ = true;
};

}  // namespace vavevar
