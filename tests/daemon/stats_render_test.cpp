// The monitoring answers as documents, without sockets: texts from clients
// quoted safely, the JSON in step with the protocol's stats answer, the
// detail bounded, and both formats read by the parsers they are meant for.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_counters.h"
#include "json_text.h"
#include "python_check.h"
#include "router.h"
#include "stats_json.h"
#include "stats_metrics.h"

namespace vavevard {
namespace {

// These tests are about rendering: every client may do everything.
std::shared_ptr<const AccessPolicy> open_policy() {
    AccessPolicy p;
    std::string problems;
    AccessPolicy::from_text("allow-all = *\nallow-unknown-peers = yes\n", p, problems);
    return std::make_shared<const AccessPolicy>(std::move(p));
}

std::string as_json(std::string_view text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

TEST(JsonText, ControlCharactersAreEscapedAndMalformedUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(as_json("a\"b\\c/d"), R"("a\"b\\c/d")");
    EXPECT_EQ(as_json(std::string("\n\r\t\b\f\x01\x1f\x00z", 9)), R"("\n\r\t\b\f\u0001\u001f\u0000z")");
    EXPECT_EQ(as_json("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \x7f"), "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \x7f\"");
    EXPECT_EQ(as_json("\xff"), R"("\ufffd")");
    EXPECT_EQ(as_json("\x80x"), R"("\ufffdx")");                     // a stray continuation byte
    EXPECT_EQ(as_json("\xc0\xaf"), R"("\ufffd\ufffd")");             // overlong '/'
    EXPECT_EQ(as_json("\xe0\x80\xaf"), R"("\ufffd\ufffd\ufffd")");   // overlong, three bytes
    EXPECT_EQ(as_json("\xed\xa0\x80"), R"("\ufffd\ufffd\ufffd")");   // a surrogate
    EXPECT_EQ(as_json("\xf4\x90\x80\x80"), R"("\ufffd\ufffd\ufffd\ufffd")");  // past U+10FFFF
    EXPECT_EQ(as_json("a\xe2\x82"), R"("a\ufffd\ufffd")");           // cut short at the end
    EXPECT_EQ(as_json("\xe2\x82z"), R"("\ufffd\ufffdz")");           // and in the middle
}

TEST(JsonText, ACutNeverEndsInsideACharacter) {
    const std::string euro = "\xe2\x82\xac";
    EXPECT_EQ(utf8_prefix("a" + euro, 4), "a" + euro);
    for (std::size_t at : {1, 2, 3}) EXPECT_EQ(utf8_prefix("a" + euro, at), "a") << at;
    EXPECT_EQ(utf8_prefix(euro, 2), "");
    EXPECT_EQ(utf8_prefix("abc", 2), "ab");
    EXPECT_EQ(utf8_prefix("abc", 0), "");
    // Bytes that are malformed anyway are cut where the bound falls.
    EXPECT_EQ(utf8_prefix("\x80\x80\x80\x80", 2), "\x80\x80");
}

// A router with a subscriber, a publisher and a connection that never made
// its handshake; the subscriber's texts are hostile.
struct Daemon {
    Router router{RouterConfig{"alpha", "testhost:1", "vavevard 1.2.3", Limits{}, ReplayWindow{}, open_policy()}};
    ClientId subscriber = 0, publisher = 0, stranger = 0;
    std::string why;

    Daemon() {
        subscriber = router.add_client("127.0.0.1:5001", 1000);
        router.handle(subscriber, ConnectRequest{"4", "ff", "Pid=4242; Home=/h\x01\"\xff"}, why);
        router.handle(subscriber, SubscribeRequest{1, "ALARM/DISK", "c", "null", false, {}}, why);
        router.handle(subscriber, SubscribeRequest{2, "\"O\x01\xc0\x80\"", "c", "null", false, {}}, why);
        publisher = router.add_client("[::1]:5002");
        router.handle(publisher, ConnectRequest{"4", "ff", "no pid here"}, why);
        stranger = router.add_client("127.0.0.1:5003", 1001);
    }
    void publish(const std::string &type) {
        EventRequest e;
        e.event.type = type;
        e.event.id = "host:1:0-1";
        ASSERT_TRUE(router.handle(publisher, std::move(e), why)) << why;
    }
};

TEST(StatsJson, ConnectionsAndSubscriptionsAreListedWithWhatWasDeliveredToEach) {
    if (!test::python_available()) GTEST_SKIP() << test::kPython << " is missing";
    Daemon d;
    d.publish("ALARM/DISK");
    d.publish("ALARM/DISK");
    d.publish("NOBODY");
    HttpStats http;
    http.connections = 1;
    http.count_response(200);
    http.count_response(431);
    auto leaves = test::json_leaves(render_stats_json(d.router, http, d.router.started_ms() + 1500));
    const std::string sub = "clientList.0.";
    for (const std::string &expected : std::vector<std::string>{
             "daemonVersion=\"vavevard 1.2.3\"", "daemonId=\"testhost:1\"", "instanceName=\"alpha\"",
             "uptimeMs=1500", "eventsIn=3", "eventsOut=2", "eventsUnmatched=1", "clients=2", "connections=3",
             "subscriptions=2", "truncated=false", "clientsOmitted=0", "subscriptionsOmitted=0",
             "http.connections=1", "http.responses.0.status=200", "http.responses.0.count=1",
             "http.responses.6.status=431", "http.responses.6.count=1",
             sub + "clientId=1", sub + "peer=\"127.0.0.1:5001\"", sub + "connected=true",
             sub + "selfId=\"Pid=4242; Home=/h\\u0001\\\"\\ufffd\"", sub + "pid=4242", sub + "uid=1000",
             sub + "subscriptionCount=2", sub + "subscriptionsOmitted=0",
             sub + "subscriptionList.0.subscriberId=1", sub + "subscriptionList.0.filter=\"ALARM/DISK\"",
             sub + "subscriptionList.0.delivered=2",
             sub + "subscriptionList.1.filter=\"\\\"O\\u0001\\ufffd\\ufffd\\\"\"", sub + "subscriptionList.1.delivered=0",
             "clientList.1.pid=null", "clientList.1.uid=null", "clientList.1.subscriptionCount=0",
             "clientList.2.connected=false", "clientList.2.uid=1001", "clientList.2.selfId=\"\""})
        EXPECT_TRUE(leaves.count(expected)) << expected;
    // The subscriber's output has not gone anywhere: both events wait for it.
    for (const std::string &leaf : leaves)
        if (leaf.starts_with(sub + "pendingBytes=")) {
            EXPECT_NE(leaf, sub + "pendingBytes=0");
        }
    for (const std::string &leaf : leaves) {
        EXPECT_FALSE(leaf.starts_with("Result")) << leaf;
        std::string key = leaf.substr(0, leaf.find('='));
        for (std::size_t dot = 0; dot != std::string::npos; dot = key.find('.', dot + 1)) {
            char first = key[dot == 0 ? 0 : dot + 1];
            EXPECT_TRUE((first >= 'a' && first <= 'z') || (first >= '0' && first <= '9')) << leaf;
        }
    }
}

// Whatever the protocol's stats answer gives, the JSON gives under the same
// name (its first letter in lower case), with the same value.
TEST(StatsJson, EveryNumberOfTheProtocolsStatsAnswerIsThereWithTheSameValue) {
    if (!test::python_available()) GTEST_SKIP() << test::kPython << " is missing";
    Daemon d;
    d.publish("ALARM/DISK");
    d.router.stats().bytesIn = 12345;
    std::int64_t now = d.router.started_ms() + 777;
    auto leaves = test::json_leaves(render_stats_json(d.router, HttpStats{}, now));
    std::istringstream answer(d.router.stats_message(now));
    std::string line;
    std::getline(answer, line);  // the request line
    int compared = 0;
    while (std::getline(answer, line) && line != "\r") {
        std::string name = line.substr(0, line.find(": ")), value = line.substr(line.find(": ") + 2);
        value.pop_back();  // CR
        if (name == "Result") continue;
        name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
        bool number = value.find_first_not_of("0123456789") == std::string::npos;
        std::string expected = name + "=" + (number ? value : "\"" + value + "\"");
        EXPECT_TRUE(leaves.count(expected)) << expected;
        ++compared;
    }
    EXPECT_GE(compared, 28);
}

TEST(StatsJson, ManySubscriptionsAreCountedNotListedPastTheBoundAndLongTextsAreCut) {
    if (!test::python_available()) GTEST_SKIP() << test::kPython << " is missing";
    Router router(RouterConfig{"alpha", "testhost:1", "vavevard 1.2.3", Limits{}, ReplayWindow{}, open_policy()});
    std::string why;
    for (int c = 0; c < 3; ++c) {
        ClientId id = router.add_client("peer");
        router.handle(id, ConnectRequest{"4", "ff", "Pid=1; a long self id \xe2\x82\xac"}, why);
        for (int s = 0; s < 2; ++s)
            router.handle(id, SubscribeRequest{s, "TYPE/" + std::to_string(s) + "/LONG/NAME", "c", "null", false, {}},
                          why);
    }
    StatsDetailLimits small{2, 3, 18};
    auto leaves = test::json_leaves(render_stats_json(router, HttpStats{}, 0, small));
    for (std::string expected :
         {"truncated=true", "clientsOmitted=1", "subscriptionsOmitted=3", "subscriptions=6",
          "clientList.0.subscriptionsOmitted=0", "clientList.1.subscriptionsOmitted=1",
          "clientList.1.subscriptionCount=2", "clientList.0.selfId=\"Pid=1; a long self\"",
          "clientList.0.selfIdTruncated=true", "clientList.0.subscriptionList.0.filter=\"TYPE/0/LONG/NAME\"",
          "clientList.1.subscriptionList.0.subscriberId=0"})
        EXPECT_TRUE(leaves.count(expected)) << expected;
    for (const std::string &leaf : leaves) {
        EXPECT_FALSE(leaf.starts_with("clientList.2.")) << leaf;
        EXPECT_FALSE(leaf.starts_with("clientList.1.subscriptionList.1.")) << leaf;
        EXPECT_FALSE(leaf.find("filterTruncated") != std::string::npos) << leaf;
    }

    // Thousands of subscriptions with long filters: the answer stays small.
    Router many(RouterConfig{"alpha", "testhost:1", "vavevard 1.2.3", Limits{}, ReplayWindow{}, open_policy()});
    const std::string longFilter(400, 'F');
    for (int c = 0; c < 3; ++c) {
        ClientId id = many.add_client("peer");
        many.handle(id, ConnectRequest{"4", "ff", "Pid=1"}, why);
        for (int s = 0; s < 2000; ++s)
            ASSERT_TRUE(many.handle(id, SubscribeRequest{s, longFilter + std::to_string(s), "c", "null", false, {}}, why));
    }
    ASSERT_EQ(many.stats().subscriptions, 6000u);
    std::string json = render_stats_json(many, HttpStats{}, 0);
    EXPECT_LT(json.size(), 400u * 1024) << "bytes for 6000 subscriptions of 400 bytes";
    leaves = test::json_leaves(json);
    EXPECT_TRUE(leaves.count("subscriptionsOmitted=5000"));
    EXPECT_TRUE(leaves.count("clientList.0.subscriptionList.999.filterTruncated=true"));
    EXPECT_TRUE(leaves.count("clientList.1.subscriptionsOmitted=2000"));
}

TEST(StatsMetrics, TheScrapersParserReadsEveryDaemonNumberWithItsType) {
    if (!test::python_available()) GTEST_SKIP() << test::kPython << " is missing";
    Daemon d;
    d.publish("ALARM/DISK");
    HttpStats http;
    http.connectionsAccepted = 7;
    http.count_response(404);
    std::string text = render_metrics(d.router, http, d.router.started_ms() + 2500);
    auto r = test::run_python(test::kMetricSamples, text);
    ASSERT_EQ(r.status, 0) << r.err << "\n" << text;
    auto has = [&](const std::string &sample) { return r.out.find(sample + "\n") != std::string::npos; };
    for (std::string expected :
         {"vavevard_build_info{version=1.2.3} 1.0 gauge", "vavevard_uptime_seconds{} 2.5 gauge",
          "vavevard_events_in_total{} 1.0 counter", "vavevard_events_out_total{} 1.0 counter",
          "vavevard_connections{} 3.0 gauge", "vavevard_clients{} 2.0 gauge", "vavevard_subscriptions{} 2.0 gauge",
          "vavevard_http_connections_accepted_total{} 7.0 counter",
          "vavevard_http_responses_total{code=404} 1.0 counter", "vavevard_http_responses_total{code=200} 0.0 counter"})
        EXPECT_TRUE(has(expected)) << expected << "\n" << r.out;
    for (const DaemonCounter &c : daemon_counters(d.router)) {
        EXPECT_EQ(c.metric.ends_with("_total"), !c.gauge) << c.metric;
        std::string sample = std::string(c.metric) + "{} " + std::to_string(c.value) + ".0 " + (c.gauge ? "gauge" : "counter");
        EXPECT_TRUE(has(sample)) << sample;
        EXPECT_NE(text.find("# HELP " + std::string(c.metric) + " "), std::string::npos) << c.metric;
    }
}

}  // namespace
}  // namespace vavevard
