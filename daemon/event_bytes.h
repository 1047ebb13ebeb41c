// The rendered bytes that every recipient of one event shares, in a single
// allocation together with their share of the memory account. Three pieces:
// the head up to the subscriber id, the head from after the id up to the
// delivery time's value, and the tail with the body; a recipient's own id and
// delivery time go between them. Counted references, for the event loop's
// thread only: the last holder to let go gives the bytes and their share back.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "memory_account.h"

namespace vavevard {

class EventBytes {
public:
    enum Piece { before_id = 0, after_id = 1, tail = 2 };

    EventBytes() noexcept = default;
    // Room for pieces of the given sizes, to be written through data(); the
    // whole allocation is counted in `account` when one is given.
    EventBytes(const std::size_t (&sizes)[3], const std::shared_ptr<MemoryAccount> &account) {
        std::size_t total = sizes[0] + sizes[1] + sizes[2];
        void *memory = ::operator new(sizeof(Block) + total);
        block_ = new (memory) Block{1, AccountedBytes(account), {sizes[0], sizes[1], sizes[2]}};
        block_->share.set(sizeof(Block) + total);
    }
    EventBytes(const EventBytes &other) noexcept : block_(other.block_) {
        if (block_ != nullptr) ++block_->refs;
    }
    EventBytes(EventBytes &&other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    EventBytes &operator=(EventBytes other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~EventBytes() {
        if (block_ != nullptr && --block_->refs == 0) {
            block_->~Block();
            ::operator delete(block_);
        }
    }

    explicit operator bool() const noexcept { return block_ != nullptr; }

    char *data(Piece piece) noexcept { return bytes() + offset(piece); }
    std::string_view piece(Piece p) const noexcept {
        return {reinterpret_cast<const char *>(block_ + 1) + offset(p), block_->sizes[p]};
    }
    // All three pieces: what a recipient reads besides its id and time.
    std::size_t size() const noexcept { return block_->sizes[0] + block_->sizes[1] + block_->sizes[2]; }

private:
    struct Block {
        std::size_t refs;
        AccountedBytes share;
        std::size_t sizes[3];
    };
    char *bytes() noexcept { return reinterpret_cast<char *>(block_ + 1); }
    std::size_t offset(Piece p) const noexcept {
        return p == before_id ? 0 : p == after_id ? block_->sizes[0] : block_->sizes[0] + block_->sizes[1];
    }

    Block *block_ = nullptr;
};

}  // namespace vavevard
