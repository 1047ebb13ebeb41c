#include "glob.h"

#include <algorithm>
#include <memory>
#include <new>

namespace vavevard {
namespace {

// The bit-parallel search keeps one bit per segment position. Up to this many
// words the state lives on the stack, which covers every segment of a
// subscription (a request line holds at most 64 KiB).
constexpr std::size_t kStackWords = 1024;

}  // namespace

Glob::Glob(std::string_view pattern) {
    Segment current;
    bool inPrefix = true, afterStar = false;
    auto close_segment = [&] {
        if (!current.anyOne.empty()) current.anyOne.resize((current.length() + 63) / 64, 0);
        minLength_ += current.length();
        segments_.push_back(std::move(current));
        current = Segment();
    };
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '*') {
            if (afterStar) continue;  // a run of stars is one
            if (segments_.empty() && current.chars.empty()) anchoredStart_ = false;
            else close_segment();
            hasStar_ = afterStar = true;
            inPrefix = false;
            suffix_.clear();
            ++size_;
            continue;
        }
        afterStar = false;
        ++size_;
        if (c == '?') {
            std::size_t k = current.length();
            current.anyOne.resize(k / 64 + 1, 0);
            current.anyOne[k / 64] |= std::uint64_t{1} << (k % 64);
            current.chars.push_back('\0');
            inPrefix = false;
            suffix_.clear();
            continue;
        }
        if (c == '\\' && i + 1 < pattern.size()) c = pattern[++i];
        current.chars.push_back(c);
        if (inPrefix) prefix_.push_back(c);
        suffix_.push_back(c);
    }
    if (afterStar) anchoredEnd_ = false;
    else close_segment();
    // Only the segments with a star on each side are searched for, and only
    // they need the search's tables.
    if (hasStar_) {
        std::size_t first = anchoredStart_ ? 1 : 0;
        std::size_t last = segments_.size() - (anchoredEnd_ ? 1 : 0);
        for (std::size_t i = first; i < last; ++i) prepare_search(segments_[i]);
    }
}

void Glob::prepare_search(Segment &s) {
    const std::size_t m = s.length();
    if (s.anyOne.empty()) {
        s.border.assign(m, 0);
        std::uint32_t k = 0;
        for (std::size_t i = 1; i < m; ++i) {
            while (k > 0 && s.chars[i] != s.chars[k]) k = s.border[k - 1];
            if (s.chars[i] == s.chars[k]) ++k;
            s.border[i] = k;
        }
        return;
    }
    s.anyOne.resize((m + 63) / 64, 0);
    s.words = static_cast<std::uint32_t>(s.anyOne.size());
    // Row 0 serves every byte the segment does not name: only '?' takes it.
    s.rowOf.assign(256, 0);
    std::uint16_t rows = 1;
    for (std::size_t k = 0; k < m; ++k) {
        auto b = static_cast<unsigned char>(s.chars[k]);
        bool wild = s.anyOne[k / 64] >> (k % 64) & 1;
        if (!wild && s.rowOf[b] == 0) s.rowOf[b] = rows++;
    }
    s.masks.assign(std::size_t{rows} * s.words, 0);
    for (std::uint16_t r = 0; r < rows; ++r)
        std::copy(s.anyOne.begin(), s.anyOne.end(), s.masks.begin() + std::size_t{r} * s.words);
    for (std::size_t k = 0; k < m; ++k) {
        if (s.anyOne[k / 64] >> (k % 64) & 1) continue;
        std::uint16_t r = s.rowOf[static_cast<unsigned char>(s.chars[k])];
        s.masks[std::size_t{r} * s.words + k / 64] |= std::uint64_t{1} << (k % 64);
    }
}

bool Glob::matches(std::string_view text) const noexcept {
    Budget unlimited;
    return match(text, unlimited) == Match::yes;
}

Match Glob::match(std::string_view text, Budget &budget) const noexcept {
    if (!budget.spend(1)) return Match::over_budget;
    const std::size_t n = text.size();
    if (n < minLength_ || (!hasStar_ && n != minLength_)) return Match::no;
    std::size_t first = 0, last = segments_.size(), lo = 0, hi = n;
    if (anchoredStart_ && first < last) {
        std::size_t r = compare_at(segments_[first], text, 0, budget);
        if (r != 0) return r == over ? Match::over_budget : Match::no;
        lo = segments_[first++].length();
    }
    if (anchoredEnd_ && first < last) {
        hi = n - segments_[last - 1].length();
        std::size_t r = compare_at(segments_[--last], text, hi, budget);
        if (r != 0) return r == over ? Match::over_budget : Match::no;
    }
    for (std::size_t i = first; i < last; ++i) {
        const Segment &s = segments_[i];
        std::size_t end = s.words ? find_wild(s, text, lo, hi, budget)
                                  : find_literal(s, text, lo, hi, budget);
        if (end == over) return Match::over_budget;
        if (end == npos) return Match::no;
        lo = end;
    }
    return Match::yes;
}

// Returns 0 for a match, npos for none, over when the budget ran out.
std::size_t Glob::compare_at(const Segment &s, std::string_view text, std::size_t at,
                             Budget &budget) noexcept {
    const std::uint64_t allowance = budget.left();
    std::uint64_t steps = 0;
    std::size_t result = 0;
    for (std::size_t k = 0; k < s.length(); ++k) {
        if (++steps > allowance) {
            result = over;
            break;
        }
        if (!s.accepts(k, text[at + k])) {
            result = npos;
            break;
        }
    }
    budget.spend(steps);
    return result;
}

// Each step either moves on in the text or falls back along the failure
// function, and a fall back undoes at most what moving on did: at most two
// steps per character.
std::size_t Glob::find_literal(const Segment &s, std::string_view text, std::size_t lo,
                               std::size_t hi, Budget &budget) noexcept {
    const std::size_t m = s.length();
    const std::uint64_t allowance = budget.left();
    std::uint64_t steps = 0;
    std::size_t j = 0, result = npos;
    for (std::size_t i = lo; i < hi && hi - i >= m - j; ++i) {
        for (;;) {
            if (++steps > allowance) {
                budget.spend(steps);
                return over;
            }
            if (text[i] == s.chars[j]) {
                ++j;
                break;
            }
            if (j == 0) break;
            j = s.border[j - 1];
        }
        if (j == m) {
            result = i + 1;
            break;
        }
    }
    budget.spend(steps);
    return result;
}

// Shift-and: after reading a character, bit k of the state says that the
// segment's first k + 1 positions match the text just read. Only the words
// that can hold a set bit are updated, one unit each.
std::size_t Glob::find_wild(const Segment &s, std::string_view text, std::size_t lo,
                            std::size_t hi, Budget &budget) noexcept {
    const std::size_t m = s.length(), words = s.words;
    if (hi - lo < m) return npos;
    std::uint64_t stackState[kStackWords];
    std::unique_ptr<std::uint64_t[]> heapState;
    std::uint64_t *state = stackState;
    if (words > kStackWords) {
        // Only a pattern longer than any request line gets here.
        heapState.reset(new (std::nothrow) std::uint64_t[words]);
        if (!heapState) return over;
        state = heapState.get();
    }
    std::fill(state, state + words, 0);
    const std::uint64_t lastBit = std::uint64_t{1} << ((m - 1) % 64);
    const std::uint64_t allowance = budget.left();
    std::uint64_t steps = 0;
    std::size_t result = npos;
    for (std::size_t i = lo; i < hi; ++i) {
        // After t + 1 characters no bit above t can be set.
        std::size_t live = std::min(words, (i - lo) / 64 + 1);
        steps += live;
        if (steps > allowance) {
            result = over;
            break;
        }
        const std::uint64_t *row =
            s.masks.data() + std::size_t{s.rowOf[static_cast<unsigned char>(text[i])]} * words;
        std::uint64_t carry = 1;
        for (std::size_t w = 0; w < live; ++w) {
            std::uint64_t d = state[w];
            state[w] = ((d << 1) | carry) & row[w];
            carry = d >> 63;
        }
        if (state[words - 1] & lastBit) {
            result = i + 1;
            break;
        }
    }
    budget.spend(steps);
    return result;
}

std::size_t Glob::memory_bytes() const noexcept {
    std::size_t n = segments_.capacity() * sizeof(Segment) + prefix_.capacity() + suffix_.capacity();
    for (const Segment &s : segments_)
        n += s.chars.capacity() + s.anyOne.capacity() * sizeof(std::uint64_t) +
             s.border.capacity() * sizeof(std::uint32_t) + s.rowOf.capacity() * sizeof(std::uint16_t) +
             s.masks.capacity() * sizeof(std::uint64_t);
    return n;
}

}  // namespace vavevard
