// Subscription filters: a small expression language over an event's type,
// header fields and properties (described for users in docs/subscriptions.md).
// A filter is compiled once when a client subscribes and evaluated for every
// event. Evaluation allocates nothing and does a bounded amount of work: at
// most budget_for() units, after which it gives up with Match::over_budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "budget.h"
#include "notification.h"
#include "glob.h"

namespace vavevard {

// One event prepared once for all the filters it is tested against: the size
// of what filters can examine, and a lookup of its properties by name, built
// on the first test of a property, so that events nobody tests by property pay
// nothing for it. Refers to the event, which must outlive it and stay
// unchanged meanwhile. Not for concurrent use.
class NotificationView {
public:
    explicit NotificationView(const Notification &event) noexcept;
    explicit NotificationView(const Notification &&) = delete;  // would outlive its event
    NotificationView(const NotificationView &) = delete;
    NotificationView &operator=(const NotificationView &) = delete;

    const Notification &event() const noexcept { return event_; }
    // Type, header fields and property lines, in bytes; never the body.
    std::size_t matchable_size() const noexcept { return matchableSize_; }

    // Calls `test(value)` for each occurrence of property `name` (whose
    // text_hash is `nameHash`) in wire order until it returns true, and says
    // whether one did. Work goes to `budget`; once it is spent, returns false
    // and leaves the budget over.
    template <typename Test>
    bool any_property(std::string_view name, std::uint64_t nameHash, Budget &budget,
                      Test &&test) const noexcept;

    // Whether the lookup by name was built; false before the first property
    // test, and when it could not be (out of memory: properties are then
    // scanned one by one, which is slower but gives the same answers).
    bool has_lookup() const noexcept { return lookup_ == Lookup::built; }

private:
    struct Entry {
        std::uint64_t hash;       // of the name
        std::uint32_t index;      // in the event's properties
        std::uint32_t nameLength;
        bool operator<(const Entry &o) const noexcept {
            return hash != o.hash ? hash < o.hash : index < o.index;
        }
    };
    enum class Lookup : std::uint8_t { not_built, built, failed };

    // The entries whose name hash is `hash`, in wire order; builds the lookup
    // first if it has not been tried. Null when it could not be built.
    const Entry *find(std::uint64_t hash, const Entry **end, Budget &budget) const noexcept;
    std::string_view value_of(const Entry &e) const noexcept;

    const Notification &event_;
    std::size_t matchableSize_ = 0;
    mutable std::vector<Entry> entries_;  // sorted by hash, then wire order
    mutable Lookup lookup_ = Lookup::not_built;
};

// A literal part an event's type must start with (or, for a suffix, end with).
struct TypeAnchor {
    bool suffix = false;
    std::string text;
    auto operator<=>(const TypeAnchor &) const = default;
};

class Filter {
public:
    // The budget of one evaluation: kWorkPerByte units per byte of the filter
    // (size()) and of the event (NotificationView::matchable_size()), plus kBaseWork.
    // A unit is one character examined or one node visited.
    static constexpr std::uint64_t kWorkPerByte = 4;
    static constexpr std::uint64_t kBaseWork = 64 * 1024;

    // Compiles `text`. An empty text (blanks only) or "null" matches every
    // event. On a syntax error the result is not ok() and error() says what is
    // wrong and at which character (1-based).
    static Filter compile(std::string_view text);

    bool ok() const noexcept { return error_.empty(); }
    const std::string &error() const noexcept { return error_; }

    // Evaluates within budget_for(event). A filter that is not ok() matches
    // nothing.
    Match evaluate(const NotificationView &event) const noexcept;
    // Evaluates within `budget`, which receives the work done.
    Match evaluate(const NotificationView &event, Budget &budget) const noexcept;
    std::uint64_t budget_for(const NotificationView &event) const noexcept;
    // evaluate() == yes, for a single use of an event.
    bool matches(const Notification &event) const noexcept;

    // The compiled filter's size: its nodes, pattern characters and property
    // names.
    std::size_t size() const noexcept { return size_; }
    // The heap memory the compiled filter holds, for the daemon's account of
    // what subscriptions keep.
    std::size_t memory_bytes() const noexcept;

    // What the filter demands of an event's type, for an index of filters by
    // type: a type that starts with none of the returned prefixes and ends
    // with none of the returned suffixes cannot match. Nothing when the
    // filter puts no such bound on the type (it may match any type), an empty
    // list when it matches nothing (not ok()). The list is sorted and holds
    // no two prefixes one of which starts with the other, nor two suffixes
    // one of which ends with the other.
    std::optional<std::vector<TypeAnchor>> type_anchors() const;

    struct Node;

    Filter();
    ~Filter();
    Filter(Filter &&) noexcept;
    Filter &operator=(Filter &&) noexcept;

private:
    std::unique_ptr<Node> root_;  // null: matches everything
    std::string error_;
    std::size_t size_ = 0;
};

template <typename Test>
bool NotificationView::any_property(std::string_view name, std::uint64_t nameHash, Budget &budget,
                             Test &&test) const noexcept {
    const Entry *end = nullptr;
    if (const Entry *e = find(nameHash, &end, budget)) {
        for (; e != end; ++e) {
            if (!budget.spend(1 + (e->nameLength == name.size() ? name.size() : 0))) return false;
            if (e->nameLength != name.size() ||
                std::string_view(event_.properties[e->index].line).substr(0, name.size()) != name)
                continue;
            if (test(value_of(*e))) return true;
            if (budget.over()) return false;
        }
        return false;
    }
    if (budget.over()) return false;
    for (const Property &p : event_.properties) {
        // Finding the name's end is a pass over the line.
        if (!budget.spend(1 + p.line.size())) return false;
        if (p.name() == name && test(p.value())) return true;
        if (budget.over()) return false;
    }
    return false;
}

}  // namespace vavevard
