// A 64-bit hash of text that can be extended one character at a time, so the
// hashes of all the prefixes of a text cost one pass over it. Not meant to
// resist a chosen collision: every user of it treats two texts with the same
// hash as possibly different.
#pragma once

#include <cstdint>
#include <string_view>

namespace vavevard {

inline constexpr std::uint64_t kTextHashStart = 0xcbf29ce484222325ull;

constexpr std::uint64_t text_hash_step(std::uint64_t hash, char c) noexcept {
    return (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
}

constexpr std::uint64_t text_hash(std::string_view text) noexcept {
    std::uint64_t h = kTextHashStart;
    for (char c : text) h = text_hash_step(h, c);
    return h;
}

}  // namespace vavevard
