// Wildcard patterns of the filter language, matched in time linear in the
// text whatever the pattern: a hostile pattern must not be able to make one
// match cost the product of the two lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "budget.h"

namespace vavevard {

// A wildcard pattern: '*' any run of characters, '?' one character, and a
// backslash makes the next character literal (a backslash at the very end is
// itself literal).
//
// The stars cut the pattern into segments of fixed length. The first is
// compared at the start of the text and the last at its end; each one between
// is found leftmost-first after the one before it, which is as good as any
// other choice since a star absorbs whatever lies between. Literal segments
// are found with a linear substring search; segments holding '?' with a
// bit-parallel one costing one unit per text character and 64 positions of
// the segment.
class Glob {
public:
    Glob() = default;  // matches the empty text only
    explicit Glob(std::string_view pattern);

    bool matches(std::string_view text) const noexcept;
    // Matches `text`, charging `budget` for every character examined; gives
    // up with over_budget as soon as the budget is spent.
    Match match(std::string_view text, Budget &budget) const noexcept;

    // The characters before the first wildcard, escapes resolved: every text
    // the pattern matches starts with them.
    const std::string &literal_prefix() const noexcept { return prefix_; }
    // The characters after the last wildcard, escapes resolved: every text
    // the pattern matches ends with them.
    const std::string &literal_suffix() const noexcept { return suffix_; }
    // Characters of the pattern once escapes are resolved, a run of stars
    // counting as one.
    std::size_t size() const noexcept { return size_; }
    // The heap memory the compiled pattern holds: its search tables can be
    // many times the pattern's own length.
    std::size_t memory_bytes() const noexcept;

private:
    struct Segment {
        std::string chars;                   // '?' positions hold a placeholder
        std::vector<std::uint64_t> anyOne;   // bit k: position k is '?'; empty when none is
        // Searched literal segments: the length of the longest proper border
        // of each prefix (the substring search's failure function).
        std::vector<std::uint32_t> border;
        // Searched segments with '?': for each byte value its row of masks,
        // `words` 64-bit words each, bit k set where position k accepts it.
        std::uint32_t words = 0;
        std::vector<std::uint16_t> rowOf;
        std::vector<std::uint64_t> masks;

        std::size_t length() const noexcept { return chars.size(); }
        bool accepts(std::size_t k, char c) const noexcept {
            return chars[k] == c || (!anyOne.empty() && (anyOne[k / 64] >> (k % 64) & 1));
        }
    };
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static constexpr std::size_t over = npos - 1;

    void prepare_search(Segment &s);
    // Whether `s` matches at `at`; over when the budget ran out.
    static std::size_t compare_at(const Segment &s, std::string_view text, std::size_t at,
                                  Budget &budget) noexcept;
    // The end of the leftmost occurrence of `s` within text[lo, hi), npos when
    // there is none, over when the budget ran out.
    static std::size_t find_literal(const Segment &s, std::string_view text, std::size_t lo,
                                    std::size_t hi, Budget &budget) noexcept;
    static std::size_t find_wild(const Segment &s, std::string_view text, std::size_t lo,
                                 std::size_t hi, Budget &budget) noexcept;

    std::vector<Segment> segments_;
    bool hasStar_ = false;
    bool anchoredStart_ = true;  // no star before the first segment
    bool anchoredEnd_ = true;    // no star after the last segment
    std::size_t minLength_ = 0;  // of a matching text: the segments' lengths added up
    std::size_t size_ = 0;
    std::string prefix_;
    std::string suffix_;
};

}  // namespace vavevard
