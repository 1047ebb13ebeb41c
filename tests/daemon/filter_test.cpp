// The subscription filter language: what matches, what does not, and the
// errors, each with the character where the problem was found.
#include "filter.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vavevard
