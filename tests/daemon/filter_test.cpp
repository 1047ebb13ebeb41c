// The subscription filter language: what matches, what does not, and the
// errors, each with the character where the problem was found; what one
// evaluation may cost, and what a filter demands of an event's type.
#include "filter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "failing_new.h"

namespace vavevard {
namespace {

Notification sample() {
    Notification e;
    e.type = "ALARM/DISK/FULL";
    e.id = "host:12:0-7";
    e.generatingComponent = "monitor";
    e.generatingNode = "node7";
    e.generatingProcess = "node7:12";
    e.affectedComponents = "db, cache;web";
    e.affectedNodes = "node1 node2";
    e.instanceName = "alpha";
    e.properties = {{"severity: 3"}, {"site: lab a"}, {"severity: 9"}, {"empty: "}};
    return e;
}

TEST(DaemonGlob, WildcardsAndEscapesMatchAsWritten) {
    EXPECT_TRUE(Glob("a*b?c").matches("aXXbYbZc"));
    EXPECT_FALSE(Glob("a*b?c").matches("aXXbYbZ"));
    EXPECT_TRUE(Glob("a\\*").matches("a*"));
    EXPECT_FALSE(Glob("a\\*").matches("ab"));
    // Found only by falling back twice along the borders of "aabaaa".
    EXPECT_TRUE(Glob("*aabaaaa*").matches("aabaaabaaaa"));
    EXPECT_EQ(Glob("a***b\\*?").size(), 5u);  // a, one star, b, a literal star, ?
    // Many stars do not blow up by backtracking.
    EXPECT_FALSE(Glob(std::string(30, '*') + "b").matches(std::string(5000, 'a')));
}

TEST(DaemonFilter, MatchesTypesFieldsListsAndProperties) {
    Notification stream = sample();
    stream.cls = kIncomingStreamingNotification;
    const std::pair<const char *, bool> cases[] = {
        {"", true}, {"  null ", true}, {"ALARM/*", true}, {"\"ALARM/DISK/FULL\"", true}, {"ALARM", false},
        {"alarm/*", false}, {"eventType == '*FULL'", true}, {"ALARM/DISK/FUL?", true}, {"ALARM/DISK/FUL", false},
        {"component = monitor and node = node? and process = node7:*", true},
        {"generatingComponent = mon*", true}, {"component = other", false}, {"id = host:12:*", true},
        {"instance = alpha", true}, {"class = MessageNotification", true}, {"class != 4", true},
        {"class < 3", true},
        // Affected lists match whole or by item.
        {"affectedComponents = cache", true}, {"affectedComponents = 'db, cache;web'", true},
        {"affectedComponents = ca", false}, {"affectedNodes = node2", true},
        // Properties match any occurrence; order only between numbers.
        {"prop.severity = 9", true}, {"prop.\"site\" = 'lab *'", true}, {"prop.empty = ''", true},
        {"prop.severity", true}, {"prop.missing", false}, {"prop.missing != x", true},
        {"prop.severity != 3", false}, {"prop.severity > 8", true}, {"prop.severity <= 3", true},
        {"prop.severity > 9", false}, {"prop.site > 1", false}, {"prop.severity >= 2.5", true},
        // and binds tighter than or; keywords in any case.
        {"NOPE and NOPE or ALARM/*", true}, {"NOPE and (NOPE or ALARM/*)", false},
        {"ALARM/* && !(component = x || node = y)", true}, {"NOT ALARM/*", false}, {"! NOPE", true},
    };
    const Notification e = sample();
    for (const auto &[text, expected] : cases) {
        Filter f = Filter::compile(text);
        ASSERT_TRUE(f.ok()) << text << ": " << f.error();
        EXPECT_EQ(f.matches(e), expected) << text;
        // With no memory for the lookup by name, properties are scanned instead.
        if (!test::new_seam_available()) continue;
        NotificationView starved(e);
        Match m;
        {
            test::NewFault fault(0);
            m = f.evaluate(starved);
        }
        EXPECT_EQ(m, expected ? Match::yes : Match::no) << text << " without a lookup";
    }
    EXPECT_TRUE(Filter::compile("class = IncomingStreamingNotification").matches(stream));
    EXPECT_FALSE(Filter::compile("class = 0").matches(stream));
    Notification keyword;
    keyword.type = "and";
    EXPECT_TRUE(Filter::compile("'and'").matches(keyword));  // quoted, a keyword is a pattern
}

TEST(DaemonFilter, ErrorsSayWhatAndWhere) {
    const std::pair<std::string, const char *> cases[] = {
        {"(ALARM/* or", "at character 12: expected an event type pattern, a test or '(', found the end of the text"},
        {"(ALARM/*", "at character 9: expected ')' to close the '(' at character 1, found the end of the text"},
        {"ALARM/* NOPE", "at character 9: expected 'and', 'or' or the end, found 'NOPE'"},
        {"colour = red", "at character 1: unknown field (known: type, class, component, node, process, "
                         "affectedComponents, affectedNodes, id, instance, prop.NAME), found 'colour'"},
        {"prop.x >= high", "at character 11: expected a number after '>=', found 'high'"},
        {"class = 9", "at character 9: expected a class number from 0 to 7 or a class name, found '9'"},
        {"a & b", "at character 3: '&' must be doubled ('&&')"},
        {"type = \"abc", "at character 8: unterminated string (missing \")"},
        {"and x", "at character 1: expected an event type pattern, a test or '(' before 'and', found 'and'"},
        {"prop. = 1", "at character 7: expected a property name after 'prop.', found '='"},
        {std::string(100, '(') + "x", "at character 65: nested deeper than 64 levels, found '('"},
    };
    for (const auto &[text, expected] : cases) {
        Filter f = Filter::compile(text);
        EXPECT_EQ(f.error(), expected);
        EXPECT_FALSE(f.matches(sample())) << text;
    }
    // Each '(' and each 'not' or '!' is a level: 64 are accepted, the 65th is not.
    EXPECT_TRUE(Filter::compile(std::string(64, '(') + "ALARM/*" + std::string(64, ')')).matches(sample()));
    EXPECT_TRUE(Filter::compile("not " + std::string(63, '!') + "ALARM/*").matches(sample()));
    EXPECT_EQ(Filter::compile("not " + std::string(64, '!') + "x").error(),
              "at character 68: nested deeper than 64 levels, found '!'");
}

// Anchors shown as "P*" for a prefix and "*S" for a suffix.
std::optional<std::vector<std::string>> anchors_of(const std::string &filter) {
    auto anchors = Filter::compile(filter).type_anchors();
    if (!anchors) return std::nullopt;
    std::vector<std::string> shown;
    for (const TypeAnchor &a : *anchors) shown.push_back(a.suffix ? "*" + a.text : a.text + "*");
    return shown;
}

TEST(DaemonFilter, TypeAnchorsBoundTheTypesAFilterCanMatch) {
    using List = std::vector<std::string>;
    const std::pair<std::string, std::optional<List>> cases[] = {
        {"", std::nullopt}, {"null", std::nullopt}, {"ALARM/*", List{"ALARM/*"}},
        {"type = AB?C", List{"AB*"}}, {"eventType == 'A\\*B*'", List{"A*B*"}},
        {"EXACT", List{"EXACT*"}}, {"*X", List{"*X"}}, {"?XY", List{"*XY"}}, {"*X*", std::nullopt},
        {"AB*CDE", List{"*CDE"}}, {"ABC*DE", List{"ABC*"}}, {"A?*\\?B", List{"*?B"}},
        {"type != A", std::nullopt}, {"type < 3", std::nullopt}, {"not A", std::nullopt},
        {"component = x", std::nullopt}, {"prop.x", std::nullopt}, {"prop.type = A", std::nullopt},
        {"AB* and C*", List{"AB*"}}, {"A* and component = x", List{"A*"}}, {"*XYZ and AB*", List{"*XYZ"}},
        {"A* or B*", List{"A*", "B*"}}, {"A* or component = x", std::nullopt}, {"A* or *B", List{"A*", "*B"}},
        {"ABC* or AB* or B or AB", List{"AB*", "B*"}}, {"*AB or *B or */X", List{"*/X", "*B"}},
        {"(A* or B*) and CD*", List{"CD*"}}, {"(A or B) and (AX* or AY* or AZ*)", List{"AX*", "AY*", "AZ*"}},
        {"(ALARM/DISK* or ALARM/NET*) and not component = x", List{"ALARM/DISK*", "ALARM/NET*"}},
        {"(", List{}},  // invalid: matches nothing
    };
    for (const auto &[text, expected] : cases) EXPECT_EQ(anchors_of(text), expected) << text;
}

// A pattern matcher simple enough to trust: every pattern position against
// every text position.
bool reference_match(std::string_view pattern, std::string_view text) {
    std::vector<std::pair<char, char>> p;  // ('c', literal), ('?', 0) or ('*', 0)
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\' && i + 1 < pattern.size()) p.emplace_back('c', pattern[++i]);
        else if (pattern[i] == '*' || pattern[i] == '?') p.emplace_back(pattern[i], 0);
        else p.emplace_back('c', pattern[i]);
    }
    // can[i][j]: p[i..] matches text[j..]
    std::vector<std::vector<char>> can(p.size() + 1, std::vector<char>(text.size() + 1, 0));
    can[p.size()][text.size()] = 1;
    for (std::size_t i = p.size(); i-- > 0;)
        for (std::size_t j = text.size() + 1; j-- > 0;) {
            bool more = j < text.size();
            if (p[i].first == '*') can[i][j] = can[i + 1][j] || (more && can[i][j + 1]);
            else if (more && (p[i].first == '?' || p[i].second == text[j])) can[i][j] = can[i + 1][j + 1];
        }
    return can[0][0];
}

// Patterns from a small alphabet, so that they often match, with every escape
// form; texts either random or made from the pattern and then perhaps spoilt.
struct PatternMaker {
    std::mt19937 rng{20250131};
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }

    // `wild` percent of the pieces are '*' or '?'.
    std::string pattern(std::size_t length, int wild) {
        static const char *const kPieces[] = {"a", "b", "a", "b", "\\*", "\\?", "\\\\", "\\a"};
        std::string p;
        while (p.size() < length) {
            int r = pick(100);
            p += r < wild / 2 ? "*" : r < wild ? "?" : kPieces[pick(8)];
        }
        if (pick(10) == 0) p += '\\';  // a lone backslash at the end is literal
        return p;
    }
    std::string random_text(std::size_t length) {
        std::string t;
        while (t.size() < length) t += "aab*?\\"[pick(6)];
        return t;
    }
    std::string text_for(const std::string &p) {
        std::string t;
        for (std::size_t i = 0; i < p.size(); ++i) {
            if (p[i] == '\\' && i + 1 < p.size()) t += p[++i];
            else if (p[i] == '*') t += random_text(pick(4));
            else if (p[i] == '?') t += "ab"[pick(2)];
            else t += p[i];
        }
        if (!t.empty() && pick(2) == 0) t[pick(int(t.size()))] = "ab*"[pick(3)];
        return t;
    }
    // Long parts, some with '?', some longer than the 64 positions of one
    // word of the bit-parallel search, and runs of '?'.
    std::string long_pattern(int shape) {
        if (shape == 0) return "*" + pattern(40 + pick(200), 3) + "*" + pattern(70, 2);
        if (shape == 1) return pattern(5, 0) + "*" + std::string(65 + pick(70), '?') + "b*";
        return pattern(40 + pick(200), pick(4) == 0 ? 0 : 3);
    }
};

// 20000 patterns and texts, long and medium ones among them: each answer is
// the reference's, the work is linear in the text (two steps per character
// for a literal search, one per 64 pattern positions with '?'), and any
// smaller budget gives up instead of answering.
TEST(DaemonGlob, AgreesWithAReferenceInLinearWorkWithinItsBudget) {
    PatternMaker make;
    int matched = 0, cases = 20000;
    for (int i = 0; i < cases && !HasFatalFailure(); ++i) {
        std::string p, t;
        if (i % 40 == 0) {
            p = make.long_pattern(i / 40 % 4);
            t = make.text_for(p);
            if (i % 3 == 0) t = make.random_text(make.pick(30)) + t + make.random_text(make.pick(30));
        } else {
            const bool medium = i % 60 == 1;
            p = make.pattern(make.pick(medium ? 300 : 12), 30);
            t = make.pick(2) ? make.text_for(p) : make.random_text(make.pick(medium ? 400 : 16));
        }
        const Match expected = reference_match(p, t) ? Match::yes : Match::no;
        matched += expected == Match::yes;
        Glob g(p);
        Budget all;
        ASSERT_EQ(g.match(t, all), expected) << "pattern '" << p << "' text '" << t << "'";
        EXPECT_LE(all.used(), 1 + p.size() + 2 * t.size() * ((p.size() + 63) / 64)) << p << " / " << t;
        std::uint64_t limit = std::uniform_int_distribution<std::uint64_t>(0, all.used() * 2)(make.rng);
        Budget some(limit);
        EXPECT_EQ(g.match(t, some), limit < all.used() ? Match::over_budget : expected)
            << p << " / " << t << " within " << limit;
    }
    // Both outcomes are well represented.
    EXPECT_GT(matched, cases / 5);
    EXPECT_LT(matched, cases * 4 / 5);
}

// The shape that once held the daemon for seconds: a pattern that sent the
// matcher back to its last star at every character. Against a long type and
// 16 properties holding it, it fits in the budget of the rule.
TEST(DaemonFilterWork, AHostilePatternCostsWorkLinearInItsInput) {
    const std::string pattern = "*" + std::string(16000, 'a') + "b";
    Notification e = sample();
    e.type = std::string(60000, 'a');
    for (int i = 0; i < 16; ++i) e.properties.push_back({"x: " + e.type});
    NotificationView view(e);
    for (const std::string &text : {"'" + pattern + "'", "prop.x = '" + pattern + "*'"}) {
        Filter f = Filter::compile(text);
        ASSERT_TRUE(f.ok()) << f.error();
        Budget budget(f.budget_for(view));
        EXPECT_EQ(f.evaluate(view, budget), Match::no) << text.substr(0, 20);
        EXPECT_LE(budget.used(), 2 * (text.size() + view.matchable_size())) << text.substr(0, 20);
    }
}

// An event of a thousand properties "name-I: value I", or all named x.
Notification thousand_properties(bool oneName) {
    Notification e = sample();
    e.properties.clear();
    for (int i = 0; i < 1000; ++i) {
        std::string name = oneName ? "x" : "name-" + std::to_string(i);
        e.properties.push_back({name + ": value " + std::to_string(i)});
    }
    return e;
}

// `test(i)` for i = 0, 1, ... joined by "or", as long as a request line allows.
template <typename Test>
std::string or_chain(Test test) {
    std::string text = test(0);
    for (int i = 1; text.size() < 64 * 1024 - 200; ++i) text += " or " + test(i);
    return text;
}

// A filter of a hundred sensible tests uses under an eighth of its budget, as
// the documentation promises, because a property test looks its name up in a
// lookup made once for the event. A scan instead (no memory for the lookup) is
// charged, and runs out.
TEST(DaemonFilterWork, PropertyTestsLookTheirNameUp) {
    Notification e = thousand_properties(false);
    NotificationView view(e);
    std::string text;
    for (int i = 0; i < 25; ++i) {
        std::string k = std::to_string(i * 37 % 999), next = std::to_string(i * 37 % 999 + 1);
        text += (i ? " or " : "") + ("(prop.name-" + k + " = 'value *' and prop.name-" + next +
                                    " != 'x*' and not component = test-* and affectedNodes = node9)");
    }
    Filter f = Filter::compile(text);  // 100 tests
    ASSERT_TRUE(f.ok()) << f.error();
    Budget budget(f.budget_for(view));
    EXPECT_EQ(f.evaluate(view, budget), Match::no);
    EXPECT_LT(budget.used() * 8, budget.limit());
    Filter hit = Filter::compile(text + " or (prop.name-999 = 'value 9*' and ALARM/*)");
    EXPECT_EQ(hit.evaluate(view), Match::yes);
    Filter chain = Filter::compile(
        or_chain([](int i) { return "prop.name-" + std::to_string(i * 37 % 1000) + " = x"; }));
    EXPECT_EQ(chain.evaluate(view), Match::no);

    if (!test::new_seam_available()) return;
    const std::uint64_t allocations = test::new_calls();
    for (int i = 0; i < 10; ++i) EXPECT_EQ(hit.evaluate(view), Match::yes);
    EXPECT_EQ(test::new_calls(), allocations) << "evaluation allocates nothing";
    NotificationView starved(e);
    Match scanned;
    {
        test::NewFault fault(0);
        scanned = chain.evaluate(starved);
    }
    EXPECT_EQ(scanned, Match::over_budget);
}

TEST(DaemonFilterWork, OverBudgetIsNeverAYes) {
    // A long part with '?' searched for in a long type that does not hold
    // it: a unit per text character for each 64 of its positions, far over
    // the rule's budget.
    Notification e = sample();
    std::string segment = std::string(8000, 'a') + "?" + std::string(7998, 'a') + "b";
    e.type = std::string(60000, 'a');
    NotificationView view(e);
    for (const std::string &text :
         {"*" + segment + "*", "not *" + segment + "*", "ALARM/* or *" + segment + "*",
          "*" + segment + "* or ALARM/*", "type != '*" + segment + "*'"}) {
        Filter f = Filter::compile(text);
        ASSERT_TRUE(f.ok()) << f.error();
        Budget budget(f.budget_for(view));
        EXPECT_EQ(f.evaluate(view, budget), Match::over_budget) << text.substr(0, 24);
        EXPECT_FALSE(f.matches(e)) << text.substr(0, 24);
        EXPECT_LE(budget.used(), budget.limit() + 250);  // stops within one step
    }
    // One property name a thousand times, tested thousands of times: the
    // chain stops where the budget does.
    Notification same = thousand_properties(true);
    NotificationView sameView(same);
    Filter chain = Filter::compile(or_chain([](int) { return std::string("prop.x = 2"); }));
    Budget budget(chain.budget_for(sameView));
    EXPECT_EQ(chain.evaluate(sameView, budget), Match::over_budget);
    EXPECT_LE(budget.used(), budget.limit() + 16);
}

}  // namespace
}  // namespace vavevard
