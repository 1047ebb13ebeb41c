// Subscription filters: a small expression language over an event's type,
// header fields and properties (described for users in docs/subscriptions.md).
// A filter is compiled once when a client subscribes and evaluated for every
// event; evaluation allocates nothing.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "event.h"

namespace vavevard {

// A wildcard pattern: '*' any run of characters, '?' one character, and a
// backslash makes the next character literal.
class Glob {
public:
    Glob() = default;
    explicit Glob(std::string_view pattern);
    bool matches(std::string_view text) const noexcept;
    bool is_literal() const noexcept;

private:
    enum Kind : char { literal, any_one, any_run };
    struct Element {
        Kind kind;
        char c;
    };
    std::vector<Element> elements_;
};

class Filter {
public:
    // Compiles `text`. An empty text (blanks only) or "null" matches every
    // event. On a syntax error the result is not ok() and error() says what is
    // wrong and at which character (1-based).
    static Filter compile(std::string_view text);

    bool ok() const noexcept { return error_.empty(); }
    const std::string &error() const noexcept { return error_; }
    bool matches(const Event &event) const noexcept;

    struct Node;

    Filter();
    ~Filter();
    Filter(Filter &&) noexcept;
    Filter &operator=(Filter &&) noexcept;

private:
    std::unique_ptr<Node> root_;  // null: matches everything
    std::string error_;
};

}  // namespace vavevard
