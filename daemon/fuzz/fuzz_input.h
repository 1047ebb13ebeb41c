// Reads a fuzz input as a stream of small fields. Past the end every field
// reads as zero (and byte runs as empty), so any input, however cut, decodes
// to some script and the fuzzer never wastes an input on a framing error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vavevard::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool done() const noexcept { return at_ >= size_; }

    std::uint8_t u8() noexcept { return at_ < size_ ? data_[at_++] : 0; }

    // Big-endian, so a seed written by hand reads as it looks.
    std::uint16_t u16() noexcept {
        std::uint16_t high = u8();
        return static_cast<std::uint16_t>(high << 8 | u8());
    }

    // Up to `n` bytes: fewer when the input ends first.
    std::string_view bytes(std::size_t n) noexcept {
        std::size_t take = n < size_ - at_ ? n : size_ - at_;
        if (at_ >= size_) take = 0;
        std::string_view out(reinterpret_cast<const char *>(data_) + at_, take);
        at_ += take;
        return out;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace vavevard::fuzz
