#include "bodyblock/bb_walk.h"

#include <cstring>

#include "port/memory.h"

namespace vavevar {

BbWalk::BbWalk(lumo_bb *block, std::uint32_t max_depth) noexcept : max_depth_(max_depth) {
    if (block != nullptr && block->first != nullptr) {
        stack_[0] = block->first;
        depth_ = 0;
    }
}

BbWalk::~BbWalk() {
    if (stack_ != inline_) lumo_free(stack_);
}

bool BbWalk::push(lumo_bb_seg *seg) noexcept {
    std::uint64_t next = static_cast<std::uint64_t>(depth_) + 1;
    if (next > max_depth_) return false;
    if (next == capacity_) {
        if (capacity_ > UINT32_MAX / 2) return false;
        std::uint32_t grown = capacity_ * 2;
        auto *bigger = static_cast<lumo_bb_seg **>(lumo_malloc(sizeof(lumo_bb_seg *) * grown));
        if (bigger == nullptr) return false;
        std::memcpy(bigger, stack_, sizeof(lumo_bb_seg *) * capacity_);
        if (stack_ != inline_) lumo_free(stack_);
        stack_ = bigger;
        capacity_ = grown;
    }
    stack_[++depth_] = seg;
    return true;
}

bool BbWalk::advance() noexcept {
    if (depth_ < 0) return true;
    lumo_bb_seg *current = stack_[depth_];
    if (current->segments.first != nullptr) return push(current->segments.first);
    while (depth_ >= 0) {
        lumo_bb_seg *sibling = stack_[depth_]->next;
        if (sibling != nullptr) {
            stack_[depth_] = sibling;
            return true;
        }
        --depth_;
    }
    return true;
}

}  // namespace vavevar
