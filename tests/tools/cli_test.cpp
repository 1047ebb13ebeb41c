// The tool's pieces that need no daemon: option parsing and value checks,
// body-block bodies from the command line, and the JSON rendering.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "args.h"
#include "body.h"
#include "render.h"
#include "vavevar.h"

namespace vavevar::cli {
namespace {

struct Seen {
    std::vector<std::string> values;
    bool flag = false;
};

Parser sample(Seen &seen) {
    Parser p("tool x [options]", "Does x.");
    p.value("name", "N", "a name", [&seen](const std::string &v) { seen.values.push_back(v); });
    p.flag("quiet", "be quiet", [&seen] { seen.flag = true; });
    return p;
}

TEST(CliParser, OptionsTakeValuesEitherWayAmongPositionals) {
    Seen seen;
    auto positional = sample(seen).parse({"a", "--name", "x", "--quiet", "b", "--name=y=z", "--", "--name", "-"});
    EXPECT_EQ(positional, (std::vector<std::string>{"a", "b", "--name", "-"}));
    EXPECT_EQ(seen.values, (std::vector<std::string>{"x", "y=z"}));
    EXPECT_TRUE(seen.flag);
    EXPECT_THROW(sample(seen).parse({"a", "--help", "--bogus"}), HelpRequested);
}

TEST(CliParser, MistakesAreUsageErrorsNamingTheOption) {
    Seen seen;
    auto message = [&](const std::vector<std::string> &args) {
        try {
            sample(seen).parse(args);
        } catch (const UsageError &e) {
            return std::string(e.what());
        }
        return std::string("<accepted>");
    };
    EXPECT_EQ(message({"--colour"}), "unknown option '--colour'");
    EXPECT_EQ(message({"-q"}), "unknown option '-q'");
    EXPECT_EQ(message({"--name"}), "option --name needs a value");
    EXPECT_EQ(message({"--quiet=yes"}), "option --quiet takes no value");
    std::string help = sample(seen).help();
    EXPECT_EQ(help.rfind("usage: tool x [options]\n\nDoes x.\n", 0), 0u) << help;
    EXPECT_NE(help.find("      --name N          a name\n"), std::string::npos) << help;
}

// The common options have one letter each, the same in every command, and
// take values and bundle as getopt_long lets them.
TEST(CliParser, ShortOptionsBundleAndLongOnesMayBeAbbreviated) {
    std::uint64_t count = 0;
    bool verbose = false;
    std::string port;
    Parser p("tool y", "Does y.");
    p.value("count", "N", "n", [&count](const std::string &v) { count = parse_count("--count", v); });
    p.flag("verbose", "v", [&verbose] { verbose = true; });
    p.value("port", "N", "p", [&port](const std::string &v) { port = v; });
    p.value("ready-file", "F", "r", [](const std::string &) {});
    EXPECT_EQ(p.parse({"x", "-vc3", "y", "-p", "-1"}), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(verbose);
    EXPECT_EQ(port, "-1");  // a value may look like an option
    p.parse({"--cou", "7", "--po=9"});
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(port, "9");
    // Without POSIXLY_CORRECT's stop at the first positional: options still
    // follow them.
    ::setenv("POSIXLY_CORRECT", "1", 1);
    EXPECT_EQ(p.parse({"a", "-c", "5", "-", "--", "-v"}), (std::vector<std::string>{"a", "-", "-v"}));
    ::unsetenv("POSIXLY_CORRECT");
    EXPECT_EQ(count, 5u);
    EXPECT_THROW(p.parse({"-h"}), HelpRequested);
    auto message = [&p](const std::vector<std::string> &args) {
        try {
            p.parse(args);
        } catch (const UsageError &e) {
            return std::string(e.what());
        }
        return std::string("<accepted>");
    };
    EXPECT_EQ(message({"-x"}), "unknown option '-x'");
    EXPECT_EQ(message({"-vx"}), "unknown option '-x'");
    EXPECT_EQ(message({"-c"}), "option -c needs a value");
    EXPECT_EQ(message({"--verbose=1"}), "option --verbose takes no value");
    EXPECT_EQ(message({"--re"}), "option --re needs a value");
    std::string help = p.help();
    EXPECT_NE(help.find("  -c, --count N         n\n"), std::string::npos) << help;
    EXPECT_NE(help.find("  -h, --help            print this help and exit\n"), std::string::npos) << help;
}

TEST(CliValues, NumbersPortsAndAssignmentsAreCheckedStrictly) {
    EXPECT_EQ(parse_count("--count", "3"), 3u);
    EXPECT_EQ(parse_count("--count", "1000000000"), 1000000000u);
    for (const char *bad : {"0", "-1", "1e3", "", "12x", "1000000001", "99999999999"})
        EXPECT_THROW(parse_count("--count", bad), UsageError) << bad;
    EXPECT_EQ(parse_seconds("--timeout", "2"), 2000);
    EXPECT_EQ(parse_seconds("--timeout", "0.0015"), 2);  // rounded up, never to 0
    for (const char *bad : {"0", "-1", "inf", "nan", "1e3", "", "1s"})
        EXPECT_THROW(parse_seconds("--timeout", bad), UsageError) << bad;
    EXPECT_EQ(parse_port("--port", "65535"), 65535);
    for (const char *bad : {"0", "65536", "80x", "", "+80"})
        EXPECT_THROW(parse_port("--port", bad), UsageError) << bad;
    EXPECT_EQ(parse_assignment("--prop", "a=b=c"), std::make_pair(std::string("a"), std::string("b=c")));
    EXPECT_EQ(parse_assignment("--prop", "a="), std::make_pair(std::string("a"), std::string()));
    EXPECT_THROW(parse_assignment("--prop", "=b"), UsageError);
    EXPECT_THROW(parse_assignment("--prop", "ab"), UsageError);
    EXPECT_EQ(parse_property("--prop", "a=b:c").second, "b:c");
    for (const char *bad : {"a:b=c", "a\nb=c", "a=b\rc"})
        EXPECT_THROW(parse_property("--prop", bad), UsageError) << bad;
}

TEST(CliEndpoint, FlagsWinOverTheEnvironmentWhereConfigHomeWinsOverHome) {
    ::setenv("TAMRIX_LUMO_PROXY_PORT", "7001", 1);
    ::setenv("TAMRIX_CONFIG_HOME", "", 1);
    ::setenv("TAMRIX_HOME", "/h", 1);
    Endpoint e;
    EXPECT_EQ(e.resolve_port(), 7001);
    EXPECT_EQ(e.resolve_home(), "/h");
    ::setenv("TAMRIX_CONFIG_HOME", "/c", 1);
    EXPECT_EQ(e.resolve_home(), "/c");
    e.port = 9;
    e.home = "/flag";
    EXPECT_EQ(e.resolve_port(), 9);
    EXPECT_EQ(e.resolve_home(), "/flag");
    // A bad endpoint is wrong usage; a missing one is the daemon's default.
    ::setenv("TAMRIX_LUMO_PROXY_PORT", "70000", 1);
    EXPECT_THROW(Endpoint{}.resolve_port(), UsageError);
    for (const char *name : {"TAMRIX_LUMO_PROXY_PORT", "TAMRIX_CONFIG_HOME", "TAMRIX_HOME"}) ::unsetenv(name);
    EXPECT_EQ(Endpoint{}.resolve_port(), 17077);
    const char *state = std::getenv("STATE_DIRECTORY");
    if (state == nullptr) {
        ::setenv("XDG_STATE_HOME", "/state", 1);
        EXPECT_EQ(Endpoint{}.resolve_home(), ::geteuid() == 0 ? "/var/lib/vavevar" : "/state/vavevar");
        ::unsetenv("XDG_STATE_HOME");
    }
}

std::string render_block(const std::string &body) {
    lumo_bb *block = lumo_bb_body2block(body.data(), static_cast<std::int32_t>(body.size()));
    char *text = lumo_bb_toString(block);
    std::string result = text ? text : "<none>";
    std::free(text);
    lumo_bb_destroy(block);
    return result;
}

TEST(CliBodyBlock, AssignmentsNestAlongDotsInFirstSeenOrder) {
    std::string body = encode_body_block(
        {"job.name=backup", "host.name=db1", "job.step.done=3", "job.name=restore", "job.step.bin=a=b"});
    EXPECT_EQ(render_block(body),
              "Seg:job\n  name=restore\n  Seg:step\n    done=3\n    bin=a=b\nSeg:host\n  name=db1\n");
    for (const char *bad : {"novalue", "seg=v", ".e=v", "s.=v", "a..e=v", "=v"})
        EXPECT_THROW(encode_body_block({bad}), UsageError) << bad;
}

struct NotificationHolder {
    lumo_notification *n;
    lumo_subscriber *s = nullptr;
    ~NotificationHolder() { lumo_subscriber_relinquish(s, n); }
};

TEST(CliJson, NotificationsBecomeOneObjectWithTheBodyInItsBestForm) {
    std::string block = encode_body_block({"a.k=v", "a.bin=\x01"});
    NotificationHolder n{lumo_notification_create("T/\"q\"", block.data(), static_cast<std::int32_t>(block.size()))};
    lumo_notification_setProperty(n.n, "p", "line\ttab");
    std::string json = render_json(n.n, BodyShow::automatic);
    EXPECT_EQ(json,
              "{\"class\":0,\"type\":\"T/\\\"q\\\"\",\"id\":null,\"creationTime\":0,\"deliveryTime\":0,"
              "\"generatingComponent\":null,\"generatingNode\":null,\"generatingProcess\":null,"
              "\"instanceName\":null,\"affectedComponents\":null,\"affectedNodes\":null,"
              "\"localOnly\":false,\"properties\":[{\"name\":\"p\",\"value\":\"line\\ttab\"}],"
              "\"bodyLength\":" + std::to_string(block.size()) +
                  ",\"bodyBlock\":[{\"name\":\"a\",\"elements\":[{\"name\":\"k\",\"value\":\"v\"},"
                  "{\"name\":\"bin\",\"valueBase64\":\"AQ==\"}],\"segments\":[]}]}");
    EXPECT_NE(render_json(n.n, BodyShow::hex).find("\"bodyBase64\":\""), std::string::npos);
    EXPECT_EQ(render_json(n.n, BodyShow::none).find("body\""), std::string::npos);

    NotificationHolder text{lumo_notification_create("T", "h\xc3\xa9llo\n", 7)};
    EXPECT_NE(render_json(text.n, BodyShow::automatic).find(",\"body\":\"h\xc3\xa9llo\\n\"}"), std::string::npos);
    NotificationHolder binary{lumo_notification_create("T", "\xff\x00\x01", 3)};
    EXPECT_NE(render_json(binary.n, BodyShow::automatic).find(",\"bodyBase64\":\"/wAB\"}"), std::string::npos);
}

TEST(CliJson, TextDetectionAndBase64FollowTheirStandards) {
    EXPECT_TRUE(is_utf8_text("plain\ttext\r\n"));
    EXPECT_TRUE(is_utf8_text("\xe2\x82\xac \xf0\x9f\x98\x80"));
    EXPECT_FALSE(is_utf8_text(std::string("nul\0", 4)));
    EXPECT_FALSE(is_utf8_text("\x1b[1m"));             // control character
    EXPECT_FALSE(is_utf8_text("\xc0\xaf"));            // overlong '/'
    EXPECT_FALSE(is_utf8_text("\xed\xa0\x80"));        // surrogate
    EXPECT_FALSE(is_utf8_text("\xf4\x90\x80\x80"));    // past U+10FFFF
    EXPECT_FALSE(is_utf8_text("\xe2\x82"));            // cut short
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    std::string out;
    append_json_string(out, std::string("a\"\\\x01\x7f", 5));
    EXPECT_EQ(out, "\"a\\\"\\\\\\u0001\\u007f\"");
}

TEST(CliJson, BytesThatAreNotUtf8BecomeReplacementCharactersWithBase64Beside) {
    std::string out;
    append_json_string(out, std::string("a\xff\xc3\x28\xe2\x82\xac\xed\xa0\x80\xc3", 11));
    EXPECT_EQ(out, "\"a\xef\xbf\xbd\xef\xbf\xbd(\xe2\x82\xac\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");
    EXPECT_TRUE(is_utf8(out));
    EXPECT_TRUE(is_utf8(std::string("nul\0", 4)));
    EXPECT_FALSE(is_utf8("\xc0\xaf"));

    NotificationHolder n{lumo_notification_create("T\xfe", nullptr, 0)};
    lumo_notification_setProperty(n.n, "k\x80", "ok");
    lumo_notification_setProperty(n.n, "plain", "v\xff");
    std::string json = render_json(n.n, BodyShow::automatic);
    EXPECT_TRUE(is_utf8(json)) << json;
    EXPECT_NE(json.find("\"type\":\"T\xef\xbf\xbd\",\"typeBase64\":\"VP4=\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"properties\":[{\"name\":\"plain\",\"value\":\"v\xef\xbf\xbd\",\"valueBase64\":\"dv8=\"},"
                        "{\"name\":\"k\xef\xbf\xbd\",\"nameBase64\":\"a4A=\",\"value\":\"ok\"}]"),
              std::string::npos)
        << json;
}

TEST(CliLine, TextsAreEscapedSoThatOneNotificationStaysOneLine) {
    EXPECT_EQ(escape_line_text("h\xc3\xa9 \\ \t\n\x7f\xff"), "h\xc3\xa9 \\\\ \\x09\\x0a\\x7f\\xff");
    NotificationHolder n{lumo_notification_create("A/\n", "b\x01", 2)};
    lumo_notification_setProperty(n.n, "k", "v w");
    lumo_notification_setProperty(n.n, "j", "=");
    EXPECT_EQ(render_line(n.n, BodyShow::automatic), "A/\\x0a [j== k=v w] b\\x01");
    EXPECT_EQ(render_line(n.n, BodyShow::hex), "A/\\x0a [j== k=v w] 6201");
    EXPECT_EQ(render_line(n.n, BodyShow::none), "A/\\x0a [j== k=v w]");
    std::string block = encode_body_block({"a.k=v", "a.b.x=\n", "c.y="});
    NotificationHolder bb{lumo_notification_create("B", block.data(), static_cast<std::int32_t>(block.size()))};
    EXPECT_EQ(render_line(bb.n, BodyShow::automatic), "B [] a{k=v b{x=\\x0a}} c{y=}");
}

TEST(CliText, BodiesAreShownDecodedAsTextOrAsHex) {
    std::string block = encode_body_block({"s.e=v"});
    NotificationHolder bb{lumo_notification_create("T", block.data(), static_cast<std::int32_t>(block.size()))};
    EXPECT_NE(render_text(bb.n, BodyShow::automatic).find("  Body:\nSeg:s\n  e=v\n"), std::string::npos);
    NotificationHolder text{lumo_notification_create("T", "hello", 5)};
    EXPECT_NE(render_text(text.n, BodyShow::automatic).find("  Body:\nhello\n"), std::string::npos);
    EXPECT_NE(render_text(text.n, BodyShow::hex).find("  Body:\n    68656c6c 6f"), std::string::npos);
    EXPECT_EQ(render_text(text.n, BodyShow::none).find("Body:"), std::string::npos);
    NotificationHolder binary{lumo_notification_create("T", "\x01\x02", 2)};
    EXPECT_NE(render_text(binary.n, BodyShow::automatic).find("  Body:\n    0102"), std::string::npos);
    EXPECT_THROW(parse_body_show("--show-body", "pretty"), UsageError);
}

}  // namespace
}  // namespace vavevar::cli
