// The tool's pieces that need no daemon: option parsing and value checks,
// body-block bodies from the command line, and the JSON rendering.
#include <gtest/gtest.h>

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
    EXPECT_NE(help.find("  --name N              a name\n"), std::string::npos) << help;
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
    // A missing or bad endpoint is wrong usage.
    ::setenv("TAMRIX_LUMO_PROXY_PORT", "70000", 1);
    EXPECT_THROW(Endpoint{}.resolve_port(), UsageError);
    for (const char *name : {"TAMRIX_LUMO_PROXY_PORT", "TAMRIX_CONFIG_HOME", "TAMRIX_HOME"}) ::unsetenv(name);
    EXPECT_THROW(Endpoint{}.resolve_port(), UsageError);
    EXPECT_THROW(Endpoint{}.resolve_home(), UsageError);
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
