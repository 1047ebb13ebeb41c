#include "filter.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <new>
#include <optional>
#include <utility>

#include "text_hash.h"

namespace vavevard {

namespace {

enum class Field {
    type, cls, component, node, process, affectedComponents, affectedNodes, id, instance, property
};

enum class Op { eq, ne, lt, le, gt, ge };

struct FieldName {
    std::string_view name;
    Field field;
};
constexpr FieldName kFields[] = {
    {"type", Field::type},
    {"eventType", Field::type},
    {"class", Field::cls},
    {"className", Field::cls},
    {"component", Field::component},
    {"generatingComponent", Field::component},
    {"node", Field::node},
    {"generatingNode", Field::node},
    {"process", Field::process},
    {"generatingProcess", Field::process},
    {"affectedComponents", Field::affectedComponents},
    {"affectedNodes", Field::affectedNodes},
    {"id", Field::id},
    {"eventId", Field::id},
    {"instance", Field::instance},
    {"instanceName", Field::instance},
};

constexpr std::size_t kMaxDepth = 64;

std::optional<double> as_number(std::string_view text) noexcept {
    if (text.empty() || text.size() > 64) return std::nullopt;
    char copy[65];
    text.copy(copy, text.size());
    copy[text.size()] = '\0';
    char *end = nullptr;
    double value = std::strtod(copy, &end);
    if (end != copy + text.size() || std::isspace(static_cast<unsigned char>(copy[0])))
        return std::nullopt;
    return value;
}

bool compare(double a, Op op, double b) noexcept {
    switch (op) {
    case Op::lt: return a < b;
    case Op::le: return a <= b;
    case Op::gt: return a > b;
    case Op::ge: return a >= b;
    default: return a == b;
    }
}

std::string_view field_text(const Notification &e, Field f) noexcept {
    switch (f) {
    case Field::type: return e.type;
    case Field::component: return e.generatingComponent;
    case Field::node: return e.generatingNode;
    case Field::process: return e.generatingProcess;
    case Field::affectedComponents: return e.affectedComponents;
    case Field::affectedNodes: return e.affectedNodes;
    case Field::id: return e.id;
    case Field::instance: return e.instanceName;
    default: return {};
    }
}

bool is_list_separator(char c) noexcept { return c == ',' || c == ';' || c == ' ' || c == '\t'; }

}  // namespace

struct Filter::Node {
    enum Kind { any_of, all_of, negation, test, has_property } kind = test;
    std::vector<std::unique_ptr<Node>> children;
    Field field = Field::type;
    std::string property;
    std::uint64_t propertyHash = 0;
    Op op = Op::eq;
    Glob glob;
    double number = 0;
    std::int32_t cls = 0;

    // One value against the test: a glob for = and !=, numbers otherwise.
    bool value_matches(std::string_view text, Budget &budget) const noexcept {
        if (op == Op::eq || op == Op::ne) return glob.match(text, budget) == Match::yes;
        if (!budget.spend(1 + std::min<std::size_t>(text.size(), 65))) return false;
        auto n = as_number(text);
        return n && compare(*n, op, number);
    }

    // Lists of affected components or nodes match when the whole text or any
    // one item does.
    bool list_matches(std::string_view text, Budget &budget) const noexcept {
        if (value_matches(text, budget)) return true;
        std::size_t i = 0;
        while (i < text.size() && !budget.over()) {
            std::size_t start = i;
            while (i < text.size() && is_list_separator(text[i])) ++i;
            std::size_t j = i;
            while (j < text.size() && !is_list_separator(text[j])) ++j;
            if (!budget.spend(j - start)) return false;
            if (j > i && value_matches(text.substr(i, j - i), budget)) return true;
            i = j;
        }
        return false;
    }

    bool positive(const NotificationView &v, Budget &budget) const noexcept {
        switch (field) {
        case Field::cls:
            return compare(v.event().cls, op == Op::ne ? Op::eq : op, cls);
        case Field::affectedComponents:
        case Field::affectedNodes:
            return list_matches(field_text(v.event(), field), budget);
        case Field::property:
            return v.any_property(property, propertyHash, budget, [&](std::string_view value) {
                return value_matches(value, budget);
            });
        default:
            return value_matches(field_text(v.event(), field), budget);
        }
    }

    // Once the budget is spent the answers are meaningless; the caller sees
    // the budget over and discards them.
    bool eval(const NotificationView &v, Budget &budget) const noexcept {
        if (!budget.spend(1)) return false;
        switch (kind) {
        case any_of:
            for (const auto &c : children)
                if (c->eval(v, budget)) return true;
                else if (budget.over()) return false;
            return false;
        case all_of:
            for (const auto &c : children)
                if (!c->eval(v, budget)) return false;
            return true;
        case negation: return !children.front()->eval(v, budget);
        case has_property:
            return v.any_property(property, propertyHash, budget,
                                  [](std::string_view) { return true; });
        case test: return op == Op::ne ? !positive(v, budget) : positive(v, budget);
        }
        return false;
    }

    std::size_t size() const noexcept {
        std::size_t n = 1 + glob.size() + property.size();
        for (const auto &c : children) n += c->size();
        return n;
    }

    std::size_t memory_bytes() const noexcept {
        std::size_t n = sizeof(Node) + children.capacity() * sizeof(children[0]) +
                        property.capacity() + glob.memory_bytes();
        for (const auto &c : children) n += c->memory_bytes();
        return n;
    }

    using Anchors = std::optional<std::vector<TypeAnchor>>;

    Anchors type_anchors() const {
        switch (kind) {
        case test: {
            if (field != Field::type || op != Op::eq) return {};
            // The longer of the literal start and end lets fewer types by.
            const std::string &start = glob.literal_prefix(), &end = glob.literal_suffix();
            if (start.empty() && end.empty()) return {};
            if (start.size() >= end.size()) return std::vector<TypeAnchor>{{false, start}};
            return std::vector<TypeAnchor>{{true, end}};
        }
        case all_of: {
            // Every side must hold, so any side's bound is a bound; the one
            // that lets the fewest types through is kept.
            Anchors best;
            for (const auto &c : children) {
                Anchors a = c->type_anchors();
                if (a && (!best || more_selective(*a, *best))) best = std::move(a);
            }
            return best;
        }
        case any_of: {
            std::vector<TypeAnchor> all;
            for (const auto &c : children) {
                Anchors a = c->type_anchors();
                if (!a) return {};
                for (TypeAnchor &t : *a) all.push_back(std::move(t));
            }
            return minimal(std::move(all));
        }
        default: return {};
        }
    }

    // Sorted, each once, and no prefix that starts with another prefix nor a
    // suffix that ends with another suffix: a type that starts with "AB" and
    // with "ABC" is a type that starts with "AB".
    static std::vector<TypeAnchor> minimal(std::vector<TypeAnchor> anchors) {
        // A suffix read backwards is a prefix of the type read backwards.
        for (TypeAnchor &a : anchors)
            if (a.suffix) std::reverse(a.text.begin(), a.text.end());
        std::sort(anchors.begin(), anchors.end());
        std::size_t kept = 0;
        for (std::size_t i = 0; i < anchors.size(); ++i) {
            if (kept > 0 && anchors[i].suffix == anchors[kept - 1].suffix &&
                anchors[i].text.starts_with(anchors[kept - 1].text))
                continue;
            if (kept != i) anchors[kept] = std::move(anchors[i]);
            ++kept;
        }
        anchors.resize(kept);
        for (TypeAnchor &a : anchors)
            if (a.suffix) std::reverse(a.text.begin(), a.text.end());
        std::sort(anchors.begin(), anchors.end());
        return anchors;
    }

    // Nothing is as selective as a bound no type meets; then longer shortest
    // anchors, then fewer of them.
    static bool more_selective(const std::vector<TypeAnchor> &a,
                               const std::vector<TypeAnchor> &b) noexcept {
        if (a.empty() || b.empty()) return a.empty() && !b.empty();
        auto shortest = [](const std::vector<TypeAnchor> &v) {
            std::size_t n = v.front().text.size();
            for (const TypeAnchor &t : v) n = std::min(n, t.text.size());
            return n;
        };
        std::size_t sa = shortest(a), sb = shortest(b);
        return sa != sb ? sa > sb : a.size() < b.size();
    }
};

namespace {

struct Token {
    enum Kind { end, lparen, rparen, op, bang, andand, oror, word, string } kind = end;
    std::string text;   // a word or string with its escapes kept, or the operator
    std::size_t column = 0;  // 1-based
};

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::unique_ptr<Filter::Node> parse(std::string &error) {
        std::unique_ptr<Filter::Node> root;
        if (lex() && (root = disjunction(0))) {
            if (peek().kind != Token::end) fail(peek(), "expected 'and', 'or' or the end");
        }
        error = error_;
        return error_.empty() ? std::move(root) : nullptr;
    }

private:
    // Cuts the whole text into tokens first, so that every error can name the
    // token where it was found.
    bool lex() {
        std::size_t i = 0;
        while (true) {
            while (i < text_.size() && std::isspace(static_cast<unsigned char>(text_[i]))) ++i;
            Token t;
            t.column = i + 1;
            if (i == text_.size()) {
                tokens_.push_back(t);
                return true;
            }
            char c = text_[i];
            auto two = [&](char next) { return i + 1 < text_.size() && text_[i + 1] == next; };
            if (c == '(' || c == ')') {
                t.kind = c == '(' ? Token::lparen : Token::rparen;
                t.text = c;
                ++i;
            } else if (c == '&' || c == '|') {
                if (!two(c)) return fail(t, std::string("'") + c + "' must be doubled ('" + c + c + "')", false);
                t.kind = c == '&' ? Token::andand : Token::oror;
                t.text = std::string(2, c);
                i += 2;
            } else if (c == '=' || c == '<' || c == '>' || c == '!') {
                t.kind = c == '!' && !two('=') ? Token::bang : Token::op;
                t.text = c;
                ++i;
                if ((c != '!' || t.kind == Token::op) && i < text_.size() && text_[i] == '=') {
                    t.text += '=';
                    ++i;
                }
            } else if (c == '"' || c == '\'') {
                t.kind = Token::string;
                std::size_t j = i + 1;
                while (j < text_.size() && text_[j] != c) {
                    if (text_[j] == '\\' && j + 1 < text_.size()) {
                        // Keep the escape only where it matters to a pattern.
                        char e = text_[j + 1];
                        if (e == '*' || e == '?' || e == '\\') t.text += '\\';
                        t.text += e;
                        j += 2;
                    } else {
                        t.text += text_[j++];
                    }
                }
                if (j == text_.size()) return fail(t, std::string("unterminated string (missing ") + c + ")", false);
                i = j + 1;
            } else {
                t.kind = Token::word;
                std::size_t j = i;
                while (j < text_.size() && !std::isspace(static_cast<unsigned char>(text_[j])) &&
                       std::string_view("()\"'=<>!&|").find(text_[j]) == std::string_view::npos) {
                    if (text_[j] == '\\' && j + 1 < text_.size()) t.text += text_[j++];
                    t.text += text_[j++];
                }
                i = j;
            }
            tokens_.push_back(std::move(t));
        }
    }

    const Token &peek() const { return tokens_[next_]; }
    const Token &take() {
        const Token &t = tokens_[next_];
        if (t.kind != Token::end) ++next_;
        return t;
    }

    bool fail(const Token &at, const std::string &what, bool sayFound = true) {
        if (error_.empty()) {
            error_ = "at character " + std::to_string(at.column) + ": " + what;
            if (sayFound)
                error_ += ", found " + (at.kind == Token::end ? std::string("the end of the text")
                                                              : "'" + at.text + "'");
        }
        return false;
    }

    static bool keyword(const Token &t, std::string_view word) {
        if (t.kind != Token::word || t.text.size() != word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(t.text[i])) != word[i]) return false;
        return true;
    }
    bool is_or() const { return peek().kind == Token::oror || keyword(peek(), "or"); }
    bool is_and() const { return peek().kind == Token::andand || keyword(peek(), "and"); }

    using NodePtr = std::unique_ptr<Filter::Node>;

    NodePtr disjunction(std::size_t depth) {
        return chain(depth, Filter::Node::any_of, &Parser::is_or, &Parser::conjunction);
    }
    NodePtr conjunction(std::size_t depth) {
        return chain(depth, Filter::Node::all_of, &Parser::is_and, &Parser::unary);
    }

    NodePtr chain(std::size_t depth, Filter::Node::Kind kind, bool (Parser::*isSeparator)() const,
                  NodePtr (Parser::*operand)(std::size_t)) {
        NodePtr first = (this->*operand)(depth);
        if (!first || !(this->*isSeparator)()) return first;
        auto node = std::make_unique<Filter::Node>();
        node->kind = kind;
        node->children.push_back(std::move(first));
        while ((this->*isSeparator)()) {
            take();
            NodePtr next = (this->*operand)(depth);
            if (!next) return nullptr;
            node->children.push_back(std::move(next));
        }
        return node;
    }

    // `depth` counts the parentheses and negations around the operand: the
    // one that would make it kMaxDepth + 1 is refused.
    NodePtr unary(std::size_t depth) {
        bool negation = peek().kind == Token::bang || keyword(peek(), "not");
        if ((negation || peek().kind == Token::lparen) && depth >= kMaxDepth) {
            fail(peek(), "nested deeper than " + std::to_string(kMaxDepth) + " levels");
            return nullptr;
        }
        if (negation) {
            take();
            NodePtr operand = unary(depth + 1);
            if (!operand) return nullptr;
            auto node = std::make_unique<Filter::Node>();
            node->kind = Filter::Node::negation;
            node->children.push_back(std::move(operand));
            return node;
        }
        if (peek().kind == Token::lparen) {
            const Token &open = take();
            NodePtr inner = disjunction(depth + 1);
            if (!inner) return nullptr;
            if (peek().kind != Token::rparen) {
                fail(peek(), "expected ')' to close the '(' at character " +
                                 std::to_string(open.column));
                return nullptr;
            }
            take();
            return inner;
        }
        return primary();
    }

    NodePtr primary() {
        const Token &t = peek();
        if (t.kind != Token::word && t.kind != Token::string) {
            fail(t, "expected an event type pattern, a test or '('");
            return nullptr;
        }
        if (keyword(t, "and") || keyword(t, "or")) {
            fail(t, "expected an event type pattern, a test or '(' before '" + t.text + "'");
            return nullptr;
        }
        take();
        auto node = std::make_unique<Filter::Node>();
        bool isField = false;
        if (t.kind == Token::word) {
            if (t.text.rfind("prop.", 0) == 0) {
                node->field = Field::property;
                isField = true;
                if (t.text.size() > 5) {
                    node->property = unescape(t.text.substr(5));
                } else if (peek().kind == Token::string) {  // prop."a name with blanks"
                    node->property = unescape(take().text);
                } else {
                    fail(peek(), "expected a property name after 'prop.'");
                    return nullptr;
                }
                node->propertyHash = text_hash(node->property);
            } else if (peek().kind == Token::op) {
                for (const FieldName &f : kFields)
                    if (t.text == f.name) {
                        node->field = f.field;
                        isField = true;
                    }
                if (!isField) {
                    fail(t, "unknown field (known: type, class, component, node, process, "
                            "affectedComponents, affectedNodes, id, instance, prop.NAME)");
                    return nullptr;
                }
            }
        }
        if (!isField) {  // a bare pattern is a test of the event type
            node->field = Field::type;
            node->glob = Glob(t.text);
            return node;
        }
        if (peek().kind != Token::op) {  // "prop.NAME" alone: the property is present
            node->kind = Filter::Node::has_property;
            return node;
        }
        const Token &op = take();
        node->op = op.text == "=" || op.text == "==" ? Op::eq
                   : op.text == "!="                 ? Op::ne
                   : op.text == "<"                  ? Op::lt
                   : op.text == "<="                 ? Op::le
                   : op.text == ">"                  ? Op::gt
                   : op.text == ">="                 ? Op::ge
                                                     : Op::eq;
        const Token &value = peek();
        if (value.kind != Token::word && value.kind != Token::string) {
            fail(value, "expected a value after '" + op.text + "'");
            return nullptr;
        }
        take();
        if (node->field == Field::cls) return class_test(std::move(node), value);
        if (node->op != Op::eq && node->op != Op::ne) {
            auto n = as_number(unescape(value.text));
            if (!n) {
                fail(value, "expected a number after '" + op.text + "'");
                return nullptr;
            }
            node->number = *n;
        } else {
            node->glob = Glob(value.text);
        }
        return node;
    }

    NodePtr class_test(NodePtr node, const Token &value) {
        std::string v = unescape(value.text);
        if (auto n = as_number(v); n && *n >= 0 && *n < kClassCount && *n == int(*n)) {
            node->cls = static_cast<std::int32_t>(*n);
        } else if (auto c = class_from_name(v)) {
            node->cls = *c;
        } else {
            fail(value, "expected a class number from 0 to 7 or a class name");
            return nullptr;
        }
        return node;
    }

    static std::string unescape(std::string_view text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) ++i;
            out += text[i];
        }
        return out;
    }

    std::string_view text_;
    std::vector<Token> tokens_;
    std::size_t next_ = 0;
    std::string error_;
};

}  // namespace

Filter::Filter() = default;
Filter::~Filter() = default;
Filter::Filter(Filter &&) noexcept = default;
Filter &Filter::operator=(Filter &&) noexcept = default;

Filter Filter::compile(std::string_view text) {
    Filter f;
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return f;
    std::string_view trimmed = text.substr(first, text.find_last_not_of(" \t") + 1 - first);
    if (trimmed == "null") return f;
    Parser parser(text);
    f.root_ = parser.parse(f.error_);
    if (f.root_) f.size_ = f.root_->size();
    return f;
}

std::uint64_t Filter::budget_for(const NotificationView &event) const noexcept {
    return kWorkPerByte * (size_ + event.matchable_size()) + kBaseWork;
}

Match Filter::evaluate(const NotificationView &event) const noexcept {
    Budget budget(budget_for(event));
    return evaluate(event, budget);
}

Match Filter::evaluate(const NotificationView &event, Budget &budget) const noexcept {
    if (!ok()) return Match::no;
    if (!root_) return Match::yes;
    bool yes = root_->eval(event, budget);
    return budget.over() ? Match::over_budget : yes ? Match::yes : Match::no;
}

bool Filter::matches(const Notification &event) const noexcept {
    NotificationView view(event);
    return evaluate(view) == Match::yes;
}

std::size_t Filter::memory_bytes() const noexcept {
    return sizeof(Filter) + error_.capacity() + (root_ ? root_->memory_bytes() : 0);
}

std::optional<std::vector<TypeAnchor>> Filter::type_anchors() const {
    if (!ok()) return std::vector<TypeAnchor>{};
    if (!root_) return std::nullopt;
    return root_->type_anchors();
}

NotificationView::NotificationView(const Notification &e) noexcept : event_(e) {
    matchableSize_ = e.type.size() + e.id.size() + e.affectedComponents.size() +
                     e.affectedNodes.size() + e.generatingComponent.size() +
                     e.generatingProcess.size() + e.generatingNode.size() +
                     e.instanceName.size();
    for (const Property &p : e.properties) matchableSize_ += p.line.size();
}

// Building costs a pass over the names and a sort of the entries, once per
// event whatever the number of filters; it is not charged to the filter that
// happens to ask first.
const NotificationView::Entry *NotificationView::find(std::uint64_t hash, const Entry **end,
                                        Budget &budget) const noexcept {
    if (lookup_ == Lookup::not_built) {
        try {
            std::vector<Entry> entries;
            entries.reserve(event_.properties.size());
            for (std::size_t i = 0; i < event_.properties.size(); ++i) {
                std::string_view line = event_.properties[i].line;
                std::size_t nameLength = std::min(line.find(':'), line.size());
                entries.push_back({text_hash(line.substr(0, nameLength)),
                                   static_cast<std::uint32_t>(i),
                                   static_cast<std::uint32_t>(nameLength)});
            }
            std::sort(entries.begin(), entries.end());
            entries_.swap(entries);
            lookup_ = Lookup::built;
        } catch (const std::bad_alloc &) {
            lookup_ = Lookup::failed;
        }
    }
    if (lookup_ != Lookup::built) return nullptr;
    // A binary search: one unit per halving.
    std::uint64_t steps = 1;
    for (std::size_t n = entries_.size(); n > 1; n /= 2) ++steps;
    if (!budget.spend(steps)) return nullptr;
    auto range = std::equal_range(entries_.begin(), entries_.end(), Entry{hash, 0, 0},
                                  [](const Entry &a, const Entry &b) { return a.hash < b.hash; });
    *end = entries_.data() + (range.second - entries_.begin());
    return entries_.data() + (range.first - entries_.begin());
}

std::string_view NotificationView::value_of(const Entry &e) const noexcept {
    std::string_view line = event_.properties[e.index].line;
    return e.nameLength + 2 > line.size() ? std::string_view() : line.substr(e.nameLength + 2);
}

}  // namespace vavevard
