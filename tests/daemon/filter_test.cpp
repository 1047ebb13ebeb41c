// The subscription filter language: what matches, what does not, and the
// errors, each with the character where the problem was found.
#include "filter.h"

#include <gtest/gtest.h>

namespace vavevard {
namespace {

Event sample() {
    Event e;
    e.cls = kMessageNotification;
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

bool matches(const std::string &text, const Event &e = sample()) {
    Filter f = Filter::compile(text);
    EXPECT_TRUE(f.ok()) << text << ": " << f.error();
    return f.matches(e);
}

std::string error_of(const std::string &text) {
    Filter f = Filter::compile(text);
    EXPECT_FALSE(f.ok()) << text;
    EXPECT_FALSE(f.matches(sample()));
    return f.error();
}

TEST(DaemonGlob, WildcardsAndEscapes) {
    EXPECT_TRUE(Glob("A*").matches("ALARM"));
    EXPECT_TRUE(Glob("*").matches(""));
    EXPECT_TRUE(Glob("A?ARM").matches("ALARM"));
    EXPECT_FALSE(Glob("A?ARM").matches("AARM"));
    EXPECT_TRUE(Glob("*/DISK/*").matches("ALARM/DISK/FULL"));
    EXPECT_TRUE(Glob("a*b*c").matches("aXXbYYbZc"));
    EXPECT_FALSE(Glob("a*b*c").matches("aXXbYYbZ"));
    EXPECT_TRUE(Glob("a\\*").matches("a*"));
    EXPECT_FALSE(Glob("a\\*").matches("ab"));
    EXPECT_FALSE(Glob("abc").matches("ab"));
    EXPECT_FALSE(Glob("abc").matches("ABC"));
    // A pattern built to make naive backtracking explode stays quick.
    EXPECT_FALSE(Glob(std::string(30, '*') + "b").matches(std::string(5000, 'a')));
}

TEST(DaemonFilter, EmptyAndNullMatchEverything) {
    for (const char *text : {"", "   ", "null", " null "}) {
        Event e;
        EXPECT_TRUE(matches(text, e)) << "'" << text << "'";
    }
}

TEST(DaemonFilter, BarePatternsTestTheEventType) {
    EXPECT_TRUE(matches("ALARM/*"));
    EXPECT_TRUE(matches("\"ALARM/DISK/FULL\""));
    EXPECT_FALSE(matches("ALARM"));
    EXPECT_FALSE(matches("alarm/*"));
    EXPECT_TRUE(matches("type = ALARM/DISK/*"));
    EXPECT_TRUE(matches("eventType == '*FULL'"));
}

TEST(DaemonFilter, HeaderFields) {
    EXPECT_TRUE(matches("component = monitor and node = node? and process = node7:*"));
    EXPECT_TRUE(matches("generatingComponent = mon*"));
    EXPECT_FALSE(matches("component = other"));
    EXPECT_TRUE(matches("id = host:12:*"));
    EXPECT_TRUE(matches("instance = alpha"));
    EXPECT_TRUE(matches("class = 0"));
    EXPECT_TRUE(matches("class = MessageNotification"));
    EXPECT_TRUE(matches("class != 4"));
    EXPECT_TRUE(matches("class < 3"));
    Event stream = sample();
    stream.cls = kIncomingStreamingNotification;
    EXPECT_TRUE(matches("class = IncomingStreamingNotification", stream));
    EXPECT_FALSE(matches("class = 0", stream));
}

TEST(DaemonFilter, AffectedListsMatchWholeOrByItem) {
    EXPECT_TRUE(matches("affectedComponents = db"));
    EXPECT_TRUE(matches("affectedComponents = cache"));
    EXPECT_TRUE(matches("affectedComponents = web"));
    EXPECT_TRUE(matches("affectedComponents = 'db, cache;web'"));
    EXPECT_FALSE(matches("affectedComponents = ca"));
    EXPECT_TRUE(matches("affectedNodes = node2"));
    EXPECT_FALSE(matches("affectedNodes = node3"));
}

TEST(DaemonFilter, PropertiesMatchAnyOccurrence) {
    EXPECT_TRUE(matches("prop.severity = 3"));
    EXPECT_TRUE(matches("prop.severity = 9"));
    EXPECT_TRUE(matches("prop.site = 'lab *'"));
    EXPECT_TRUE(matches("prop.\"site\" = \"lab a\""));
    EXPECT_TRUE(matches("prop.empty = ''"));
    EXPECT_TRUE(matches("prop.severity"));
    EXPECT_FALSE(matches("prop.missing"));
    EXPECT_TRUE(matches("prop.missing != x"));
    EXPECT_FALSE(matches("prop.severity != 3"));
    EXPECT_TRUE(matches("prop.severity > 8"));
    EXPECT_TRUE(matches("prop.severity <= 3"));
    EXPECT_FALSE(matches("prop.severity > 9"));
    EXPECT_FALSE(matches("prop.site > 1"));  // not a number: no order
    EXPECT_TRUE(matches("prop.severity >= 2.5"));
}

TEST(DaemonFilter, BooleanOperatorsAndPrecedence) {
    EXPECT_TRUE(matches("ALARM/* and prop.severity = 3"));
    EXPECT_TRUE(matches("NOPE or ALARM/*"));
    EXPECT_FALSE(matches("not ALARM/*"));
    EXPECT_TRUE(matches("! NOPE"));
    EXPECT_TRUE(matches("ALARM/* && !(component = x || node = y)"));
    // and binds tighter than or
    EXPECT_TRUE(matches("NOPE and NOPE or ALARM/*"));
    EXPECT_FALSE(matches("NOPE and (NOPE or ALARM/*)"));
    // Keywords in any case; quoted, a keyword is a pattern again.
    EXPECT_TRUE(matches("NOPE OR ALARM/*"));
    EXPECT_FALSE(matches("NOT ALARM/*"));
    Event e;
    e.type = "and";
    EXPECT_TRUE(matches("'and'", e));
}

TEST(DaemonFilter, ErrorsSayWhatAndWhere) {
    EXPECT_EQ(error_of("(ALARM/* or"),
              "at character 12: expected an event type pattern, a test or '(', found the end of the text");
    EXPECT_EQ(error_of("(ALARM/*"), "at character 9: expected ')' to close the '(' at character 1, "
                                    "found the end of the text");
    EXPECT_EQ(error_of("ALARM/* NOPE"), "at character 9: expected 'and', 'or' or the end, found 'NOPE'");
    EXPECT_EQ(error_of("colour = red"),
              "at character 1: unknown field (known: type, class, component, node, process, "
              "affectedComponents, affectedNodes, id, instance, prop.NAME), found 'colour'");
    EXPECT_EQ(error_of("prop.x >= high"), "at character 11: expected a number after '>=', found 'high'");
    EXPECT_EQ(error_of("type = "), "at character 8: expected a value after '=', found the end of the text");
    EXPECT_EQ(error_of("class = 9"),
              "at character 9: expected a class number from 0 to 7 or a class name, found '9'");
    EXPECT_EQ(error_of("a & b"), "at character 3: '&' must be doubled ('&&')");
    EXPECT_EQ(error_of("type = \"abc"), "at character 8: unterminated string (missing \")");
    EXPECT_EQ(error_of("and x"),
              "at character 1: expected an event type pattern, a test or '(' before 'and', found 'and'");
    EXPECT_EQ(error_of("prop. = 1"), "at character 7: expected a property name after 'prop.', found '='");
    EXPECT_EQ(error_of(std::string(100, '(') + "x" + std::string(100, ')')),
              "at character 65: nested deeper than 64 levels, found '('");
}

}  // namespace
}  // namespace vavevard
