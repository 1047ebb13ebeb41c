// Depth-first walk over the segments of a block in encoding and rendering
// order: a segment, then its children, then its next sibling. The walk keeps
// its own stack, so a deep tree costs no call depth.
#pragma once

#include <cstdint>

#include "bodyblock/bodyblock.h"

namespace vavevar {

class BbWalk {
public:
    // Starts on the first top-level segment of `block` (which may be null).
    // The walk never goes below `max_depth`; see advance().
    BbWalk(lumo_bb *block, std::uint32_t max_depth) noexcept;
    ~BbWalk();
    BbWalk(const BbWalk &) = delete;
    BbWalk &operator=(const BbWalk &) = delete;

    // The current segment, null once the walk is over.
    lumo_bb_seg *segment() const noexcept { return depth_ < 0 ? nullptr : stack_[depth_]; }
    // Depth of the current segment; top level is 0.
    std::uint32_t depth() const noexcept { return static_cast<std::uint32_t>(depth_); }

    // Moves on to the next segment. Returns false, leaving the walk where it
    // was, when that segment lies deeper than max_depth or the stack cannot
    // grow for want of memory.
    bool advance() noexcept;

private:
    static constexpr std::uint32_t kInline = 256;  // enough for any encodable block

    bool push(lumo_bb_seg *seg) noexcept;

    lumo_bb_seg *inline_[kInline];
    lumo_bb_seg **stack_ = inline_;
    std::uint32_t capacity_ = kInline;
    std::int64_t depth_ = -1;
    std::uint32_t max_depth_;
};

}  // namespace vavevar
