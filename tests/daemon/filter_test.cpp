// The subscription filter language: what matches, what does not, and the
// errors, each with the character where the problem was found; what one
// evaluation may cost, and what a filter demands of an event's type.
#include "filter.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <string>
#include <vector>

#include "failing_new.h"

namespace vavevard {
namespace {

Event sample() {
    Event e;
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

TEST(DaemonGlob, WildcardsEscapesAndNoBacktrackingBlowUp) {
    EXPECT_TRUE(Glob("a*b?c").matches("aXXbYbZc"));
    EXPECT_FALSE(Glob("a*b?c").matches("aXXbYbZ"));
    EXPECT_TRUE(Glob("a\\*").matches("a*"));
    EXPECT_FALSE(Glob("a\\*").matches("ab"));
    EXPECT_FALSE(Glob(std::string(30, '*') + "b").matches(std::string(5000, 'a')));
}

TEST(DaemonFilter, MatchesTypesFieldsListsAndProperties) {
    Event stream = sample();
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
    for (const auto &[text, expected] : cases) {
        Filter f = Filter::compile(text);
        ASSERT_TRUE(f.ok()) << text << ": " << f.error();
        EXPECT_EQ(f.matches(sample()), expected) << text;
    }
    EXPECT_TRUE(Filter::compile("class = IncomingStreamingNotification").matches(stream));
    EXPECT_FALSE(Filter::compile("class = 0").matches(stream));
    Event keyword;
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
}

// A pattern matcher simple enough to trust: every pattern position against
// every text position.
bool reference_match(std::string_view pattern, std::string_view text) {
    struct Element {
        char kind;  // 'c' literal, '?' any one, '*' any run
        char c;
    };
    std::vector<Element> p;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\' && i + 1 < pattern.size()) p.push_back({'c', pattern[++i]});
        else if (pattern[i] == '*' || pattern[i] == '?') p.push_back({pattern[i], 0});
        else p.push_back({'c', pattern[i]});
    }
    // can[i][j]: p[i..] matches text[j..]
    std::vector<std::vector<char>> can(p.size() + 1, std::vector<char>(text.size() + 1, 0));
    can[p.size()][text.size()] = 1;
    for (std::size_t i = p.size(); i-- > 0;)
        for (std::size_t j = text.size() + 1; j-- > 0;) {
            bool more = j < text.size();
            if (p[i].kind == '*') can[i][j] = can[i + 1][j] || (more && can[i][j + 1]);
            else if (more && (p[i].kind == '?' || p[i].c == text[j])) can[i][j] = can[i + 1][j + 1];
        }
    return can[0][0];
}

// Patterns from a small alphabet, so that they often match, with every escape
// form; texts either random or made from the pattern and then perhaps spoilt.
struct PatternMaker {
    std::mt19937 rng{20250131};
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }

    std::string pattern(std::size_t length, int wildPercent) {
        static const char *const kPieces[] = {"a", "b", "a", "b", "\\*", "\\?", "\\\\", "\\a"};
        std::string p;
        while (p.size() < length) {
            int r = pick(100);
            if (r < wildPercent / 2) p += '*';
            else if (r < wildPercent) p += '?';
            else p += kPieces[pick(8)];
        }
        if (pick(10) == 0) p += '\\';  // a lone backslash at the end is literal
        return p;
    }
    std::string random_text(std::size_t length) {
        static const char kChars[] = "aab*?\\";
        std::string t;
        for (std::size_t i = 0; i < length; ++i) t += kChars[pick(6)];
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
};

TEST(DaemonGlob, AgreesWithAReferenceMatcher) {
    PatternMaker make;
    int matched = 0, cases = 0;
    auto check = [&](const std::string &p, const std::string &t) {
        bool expected = reference_match(p, t);
        Budget budget;
        EXPECT_EQ(Glob(p).match(t, budget), expected ? Match::yes : Match::no)
            << "pattern '" << p << "' text '" << t << "'";
        matched += expected;
        ++cases;
    };
    for (int i = 0; i < 20000; ++i) {
        std::string p = make.pattern(make.pick(12), 30);
        check(p, make.pick(2) ? make.text_for(p) : make.random_text(make.pick(16)));
    }
    // Long segments, some with '?', some longer than the 64 positions of one
    // word of the bit-parallel search, and runs of '?'.
    for (int i = 0; i < 400; ++i) {
        std::string p = make.pattern(40 + make.pick(200), make.pick(4) == 0 ? 0 : 3);
        if (i % 4 == 0) p = "*" + p + "*" + make.pattern(70, 2);
        if (i % 4 == 1) p = make.pattern(5, 0) + "*" + std::string(65 + make.pick(70), '?') + "b*";
        std::string t = make.text_for(p);
        if (i % 3 == 0) t = make.random_text(make.pick(30)) + t + make.random_text(make.pick(30));
        check(p, t);
    }
    // Both outcomes are well represented.
    EXPECT_GT(matched, cases / 5);
    EXPECT_LT(matched, cases * 4 / 5);
}

TEST(DaemonGlob, WorkIsLinearInTheTextAndABudgetStopsIt) {
    PatternMaker make;
    for (int i = 0; i < 3000; ++i) {
        std::string p = make.pattern(make.pick(i % 10 == 0 ? 300 : 20), 20);
        std::string t = make.pick(2) ? make.text_for(p) : make.random_text(make.pick(400));
        bool expected = reference_match(p, t);
        Budget all;
        Glob g(p);
        ASSERT_EQ(g.match(t, all), expected ? Match::yes : Match::no) << p << " / " << t;
        // Two steps per text character for a literal search, one per 64
        // pattern positions for a search with '?'.
        std::size_t words = (p.size() + 63) / 64;
        EXPECT_LE(all.used(), 1 + p.size() + 2 * t.size() * words) << p << " / " << t;
        // Any smaller budget gives up instead of answering, and any budget at
        // least as large gives the same answer.
        std::uint64_t limit = std::uniform_int_distribution<std::uint64_t>(0, all.used() * 2)(make.rng);
        Budget some(limit);
        Match m = g.match(t, some);
        if (limit < all.used()) EXPECT_EQ(m, Match::over_budget) << p << " / " << t << " " << limit;
        else EXPECT_EQ(m, expected ? Match::yes : Match::no) << p << " / " << t << " " << limit;
    }
}

TEST(DaemonGlob, LiteralPrefixAndSize) {
    EXPECT_EQ(Glob("ALARM/*").literal_prefix(), "ALARM/");
    EXPECT_EQ(Glob("AB?C*").literal_prefix(), "AB");
    EXPECT_EQ(Glob("A\\*B*").literal_prefix(), "A*B");
    EXPECT_EQ(Glob("*X").literal_prefix(), "");
    EXPECT_EQ(Glob("EXACT").literal_prefix(), "EXACT");
    EXPECT_EQ(Glob("a***b\\*?").size(), 5u);  // a, one star, b, a literal star, ?
    EXPECT_TRUE(Glob("a\\*b").is_literal());
    EXPECT_FALSE(Glob("a?b").is_literal());
}

// The shapes that once held the daemon for seconds: a pattern that made the
// matcher go back to its last star at every character, and chains of
// property tests that each scanned every property.
std::string star_a_b(std::size_t as) { return "*" + std::string(as, 'a') + "b"; }

TEST(DaemonFilterWork, HostilePatternsCostWorkLinearInTheirInput) {
    const std::string pattern = star_a_b(16000);  // 16,002 characters
    ASSERT_EQ(pattern.size(), 16002u);
    const std::string as(60000, 'a'), asThenB = std::string(59999, 'a') + "b";
    // Pattern, text, whether it matches.
    const std::tuple<std::string, std::string, bool> cases[] = {
        {pattern, as, false}, {pattern, asThenB, true},
        {pattern + "*", as, false}, {pattern + "*", asThenB, true},
        {"*" + pattern + "*?", as, false}, {"*" + pattern + "*?", asThenB, false},
        {"*" + pattern + "*?", asThenB + "c", true},
    };
    for (const auto &[p, t, expected] : cases) {
        Budget all;
        EXPECT_EQ(Glob(p).match(t, all), expected ? Match::yes : Match::no) << p.size() << " " << t.size();
        EXPECT_LE(all.used(), 2 * (p.size() + t.size())) << p.size() << " " << t.size();
    }

    // As filters, against the type and against 16 properties holding the
    // long text, within the budget of the rule.
    Event e = sample();
    e.type = as;
    for (int i = 0; i < 16; ++i) e.properties.push_back({"x: " + as});
    EventView view(e);
    for (const std::string &text : {"'" + pattern + "'", "prop.x = '" + pattern + "*'"}) {
        Filter f = Filter::compile(text);
        ASSERT_TRUE(f.ok()) << f.error();
        Budget budget(f.budget_for(view));
        EXPECT_EQ(f.evaluate(view, budget), Match::no) << text.substr(0, 20);
        EXPECT_LE(budget.used(), 2 * (text.size() + view.matchable_size())) << text.substr(0, 20);
    }
    // The same inputs against small filters still give the right answers.
    EXPECT_EQ(Filter::compile("*aab").evaluate(view), Match::no);
    EXPECT_EQ(Filter::compile("*aaa").evaluate(view), Match::yes);
    EXPECT_EQ(Filter::compile("prop.x = *a?a").evaluate(view), Match::yes);
    EXPECT_EQ(Filter::compile("prop.x = *a?b*").evaluate(view), Match::no);
}

// An event of 1,024 properties with distinct short names, about 6 KB.
Event many_properties(bool oneName) {
    Event e = sample();
    e.properties.clear();
    for (int i = 0; i < 1024; ++i) {
        std::string name = oneName ? "x" : "p" + std::to_string(i);
        e.properties.push_back({name + ": 1"});
    }
    return e;
}

// A chain of `or`s as long as a request line allows.
std::string or_chain(const std::string &test, std::size_t bytes = 64 * 1024 - 100) {
    std::string text = test;
    while (text.size() + test.size() + 4 < bytes) text += " or " + test;
    return text;
}

TEST(DaemonFilterWork, PropertyTestsLookUpTheirNameInsteadOfScanning) {
    Event e = many_properties(false);
    EventView view(e);
    std::string chain;
    for (int i = 0; chain.size() < 64 * 1024 - 200; i = (i + 37) % 1024)
        chain += (chain.empty() ? "" : " or ") + ("prop.p" + std::to_string(i) + " = 2");
    Filter f = Filter::compile(chain);
    ASSERT_TRUE(f.ok()) << f.error();
    Budget budget(f.budget_for(view));
    EXPECT_EQ(f.evaluate(view, budget), Match::no);
    // About a binary search and a few comparisons per test.
    EXPECT_LE(budget.used(), 2 * (chain.size() + view.matchable_size()));
    EXPECT_TRUE(view.has_lookup());
    EXPECT_EQ(Filter::compile(chain + " or prop.p1023 = 1").evaluate(view), Match::yes);
}

TEST(DaemonFilterWork, OverBudgetIsNeverAYes) {
    // A long segment with '?' searched for in a long type that does not hold
    // it: a unit per text character for each 64 of its positions, far over
    // the rule's budget.
    Event e = sample();
    std::string segment = std::string(8000, 'a') + "?" + std::string(7998, 'a') + "b";
    e.type = std::string(60000, 'a');
    EventView view(e);
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
    // Unbounded, the answers are known: the first is no, its negation yes.
    Budget unlimited;
    EXPECT_EQ(Filter::compile("not *" + segment + "*").evaluate(view, unlimited), Match::yes);

    // One property name a thousand times, tested thousands of times.
    Event same = many_properties(true);
    EventView sameView(same);
    Filter chain = Filter::compile(or_chain("prop.x = 2"));
    ASSERT_TRUE(chain.ok());
    Budget budget(chain.budget_for(sameView));
    EXPECT_EQ(chain.evaluate(sameView, budget), Match::over_budget);
    EXPECT_LE(budget.used(), budget.limit() + 16);
    EXPECT_EQ(Filter::compile("prop.x = 2 or prop.x = 1").evaluate(sameView), Match::yes);
}

TEST(DaemonFilterWork, ASensibleFilterOfAHundredTestsFitsEasily) {
    Event e = sample();
    e.properties.clear();
    for (int i = 0; i < 1000; ++i)
        e.properties.push_back({"name-" + std::to_string(i) + ": value " + std::to_string(i)});
    std::string text;
    for (int i = 0; i < 25; ++i) {
        std::string k = std::to_string(i * 37 % 999), next = std::to_string(i * 37 % 999 + 1);
        text += (i ? " or " : "") + ("(prop.name-" + k + " = 'value *' and prop.name-" + next +
                                    " != 'x*' and not component = test-* and affectedNodes = node9)");
    }
    Filter f = Filter::compile(text);  // 100 tests
    ASSERT_TRUE(f.ok()) << f.error();
    EventView view(e);
    Budget budget(f.budget_for(view));
    EXPECT_EQ(f.evaluate(view, budget), Match::no);
    EXPECT_LT(budget.used() * 8, budget.limit());
    Filter hit = Filter::compile(text + " or (prop.name-999 = 'value 9*' and ALARM/*)");
    EXPECT_EQ(hit.evaluate(view), Match::yes);
}

TEST(DaemonFilter, NestsUpToSixtyFourLevels) {
    Event e = sample();
    auto nested = [](std::size_t n, const std::string &open, const std::string &close) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += open;
        s += "ALARM/*";
        for (std::size_t i = 0; i < n; ++i) s += close;
        return s;
    };
    for (const auto &[open, close] : {std::pair<std::string, std::string>{"(", ")"}, {"not (", ")"},
                                      {"!", ""}}) {
        std::size_t perLevel = open == "not (" ? 2 : 1;
        Filter ok = Filter::compile(nested(64 / perLevel, open, close));
        ASSERT_TRUE(ok.ok()) << open << ": " << ok.error();
        EXPECT_TRUE(ok.matches(e));
        Filter deep = Filter::compile(nested(64 / perLevel + 1, open, close));
        EXPECT_NE(deep.error().find("nested deeper than 64 levels"), std::string::npos)
            << open << ": " << deep.error();
    }
    EXPECT_EQ(Filter::compile(std::string(65, '(') + "x" + std::string(65, ')')).error(),
              "at character 65: nested deeper than 64 levels, found '('");
}

TEST(DaemonFilter, TypePrefixesBoundTheTypesAFilterCanMatch) {
    using List = std::vector<std::string>;
    const std::pair<std::string, std::optional<List>> cases[] = {
        {"", std::nullopt}, {"null", std::nullopt}, {"ALARM/*", List{"ALARM/"}},
        {"type = AB?C", List{"AB"}}, {"eventType == 'A\\*B*'", List{"A*B"}},
        {"EXACT", List{"EXACT"}}, {"*X", std::nullopt}, {"?X", std::nullopt},
        {"type != A", std::nullopt}, {"type < 3", std::nullopt}, {"not A", std::nullopt},
        {"component = x", std::nullopt}, {"prop.x", std::nullopt}, {"prop.type = A", std::nullopt},
        {"AB* and C*", List{"AB"}}, {"A* and component = x", List{"A"}},
        {"A* or B*", List{"A", "B"}}, {"A* or component = x", std::nullopt},
        {"ABC* or AB* or B or AB", List{"AB", "B"}}, {"(A* or B*) and CD*", List{"CD"}},
        {"(A or B) and (AX* or AY* or AZ*)", List{"AX", "AY", "AZ"}},
        {"(ALARM/DISK* or ALARM/NET*) and not component = x", List{"ALARM/DISK", "ALARM/NET"}},
        {"(", List{}},  // invalid: matches nothing
    };
    for (const auto &[text, expected] : cases) EXPECT_EQ(Filter::compile(text).type_prefixes(), expected) << text;
}

// Random filters over a small vocabulary against random events: the type
// bound holds for every match, and a lookup that could not be built (out of
// memory) changes no answer.
struct FilterMaker {
    std::mt19937 rng{7};
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
    std::string word() {
        static const char *const kWords[] = {"A", "AB", "A*", "AB*", "?B*", "*", "B", "A?", "AA*B", "*B"};
        return kWords[pick(10)];
    }
    std::string name() {
        static const char *const kNames[] = {"a", "ab", "b", "'a b'", "''"};
        return kNames[pick(5)];
    }
    std::string filter(int depth = 0) {
        int r = pick(depth > 3 ? 8 : 12);
        switch (r) {
        case 0: case 1: return word();
        case 2: return "type = " + word();
        case 3: return "type != " + word();
        case 4: return "prop." + name();
        case 5: return "prop." + name() + " = " + word();
        case 6: return "prop." + name() + (pick(2) ? " > 1" : " <= 2");
        case 7: return "component = " + word();
        case 8: return "not " + filter(depth + 1);
        case 9: case 10: return "(" + filter(depth + 1) + " and " + filter(depth + 1) + ")";
        default: return "(" + filter(depth + 1) + " or " + filter(depth + 1) + ")";
        }
    }
    Event event() {
        Event e;
        static const char *const kTypes[] = {"", "A", "AB", "ABB", "AAB", "B", "BB", "BAB", "A*B"};
        static const char *const kLines[] = {"a: 1", "a: AB", "ab: 3", "b: A", "a b: 0", ": B",
                                             "a", "ab:", "a:x", "b: 2.5"};
        e.type = kTypes[pick(9)];
        e.generatingComponent = kTypes[pick(9)];
        for (int n = pick(6); n > 0; --n) e.properties.push_back({kLines[pick(10)]});
        return e;
    }
};

bool starts_with_one_of(const std::string &type, const std::vector<std::string> &prefixes) {
    for (const std::string &p : prefixes)
        if (type.starts_with(p)) return true;
    return false;
}

TEST(DaemonFilter, RandomFiltersKeepTheirTypeBoundAndAnswerWithoutALookup) {
    FilterMaker make;
    int matches = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text = make.filter();
        Filter f = Filter::compile(text);
        ASSERT_TRUE(f.ok()) << text << ": " << f.error();
        auto prefixes = f.type_prefixes();
        for (int j = 0; j < 8; ++j) {
            Event e = make.event();
            EventView view(e);
            Match m = f.evaluate(view);
            ASSERT_NE(m, Match::over_budget) << text;
            if (m == Match::yes && prefixes) {
                EXPECT_TRUE(starts_with_one_of(e.type, *prefixes)) << text << " / " << e.type;
            }
            matches += m == Match::yes;
            if (!test::new_seam_available()) continue;
            Match scanned;
            bool built;
            {
                EventView starved(e);
                test::NewFault fault(0);
                scanned = f.evaluate(starved);
                built = starved.has_lookup();
            }
            EXPECT_TRUE(!built || e.properties.empty());  // nothing to allocate for none
            EXPECT_EQ(scanned, m) << text;
        }
    }
    EXPECT_GT(matches, 3000);
}

TEST(DaemonFilter, EvaluationAllocatesNothing) {
    if (!test::new_seam_available()) GTEST_SKIP() << "no allocation seam under this sanitizer";
    Event e = many_properties(false);
    Filter typeOnly = Filter::compile("ALARM/* and component = mon*");
    Filter props = Filter::compile("prop.p7 = 1 and (prop.p9 > 0 or prop.missing) and affectedNodes = node2");
    Filter wild = Filter::compile("*DISK?FU* and not prop.p2000");
    ASSERT_TRUE(typeOnly.ok() && props.ok() && wild.ok());
    EventView view(e);
    std::uint64_t before = test::new_calls();
    EXPECT_EQ(typeOnly.evaluate(view), Match::yes);
    EXPECT_FALSE(view.has_lookup());  // nobody asked for a property yet
    EXPECT_EQ(test::new_calls(), before);
    EXPECT_EQ(props.evaluate(view), Match::yes);  // builds the lookup, once
    EXPECT_TRUE(view.has_lookup());
    before = test::new_calls();
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(props.evaluate(view), Match::yes);
        EXPECT_EQ(wild.evaluate(view), Match::yes);
        EXPECT_EQ(typeOnly.evaluate(view), Match::yes);
    }
    EXPECT_EQ(test::new_calls(), before);
}

}  // namespace
}  // namespace vavevard
