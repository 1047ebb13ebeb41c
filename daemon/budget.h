// The work one evaluation of a filter may do. A single-threaded daemon that
// spends seconds on one event serves nobody else meanwhile, so every matcher
// counts what it does (characters examined, nodes visited) against a limit and
// gives up once it is crossed; the rule that sets the limit is Filter's.
#pragma once

#include <cstdint>
#include <limits>

namespace vavevard {

// The outcome of a test that may give up: over_budget says nothing about
// whether the event matches, so it must never be taken for yes.
enum class Match { no, yes, over_budget };

class Budget {
public:
    static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

    explicit Budget(std::uint64_t limit = kUnlimited) noexcept : limit_(limit) {}

    // Records `units` of work; false once the total is over the limit, and
    // from then on.
    bool spend(std::uint64_t units) noexcept {
        used_ = units > kUnlimited - used_ ? kUnlimited : used_ + units;
        return used_ <= limit_;
    }
    bool over() const noexcept { return used_ > limit_; }
    // What may still be spent without going over.
    std::uint64_t left() const noexcept { return over() ? 0 : limit_ - used_; }
    std::uint64_t used() const noexcept { return used_; }
    std::uint64_t limit() const noexcept { return limit_; }

private:
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
};

}  // namespace vavevard
