// The daemon's per-event filtering costs: matching a pattern, typical and
// hostile; evaluating filters under the work budget; and routing-style
// selection of subscriptions through the index, with and without thousands of
// subscriptions to other types.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "filter.h"
#include "subscription_index.h"

namespace {

using namespace vavevard;

void BM_GlobTypical(benchmark::State &state) {
    static const char *const kPatterns[] = {"ALARM/*", "*/DISK/*", "ALARM/DISK/FUL?", "*DISK?FULL*",
                                            "ALARM/DISK/FULL"};
    Glob glob(kPatterns[state.range(0)]);
    const std::string type = "ALARM/DISK/FULL";
    for (auto _ : state) benchmark::DoNotOptimize(glob.matches(type));
    state.SetLabel(kPatterns[state.range(0)]);
}
BENCHMARK(BM_GlobTypical)->DenseRange(0, 4);

// A 16,002-character pattern against a 60,000-character text: anchored at the
// end, searched for (literal), and searched for with a '?' in it (over the
// budget an evaluation would have; here unbounded).
void BM_GlobHostile(benchmark::State &state) {
    const std::string as(16000, 'a');
    const std::string patterns[] = {"*" + as + "b", "*" + as + "b*",
                                    "*" + as.substr(0, 8000) + "?" + as.substr(0, 7999) + "b*"};
    static const char *const kLabels[] = {"*a..ab", "*a..ab*", "*a..?..ab*"};
    Glob glob(patterns[state.range(0)]);
    const std::string text(60000, 'a');
    for (auto _ : state) benchmark::DoNotOptimize(glob.matches(text));
    state.SetLabel(kLabels[state.range(0)]);
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_GlobHostile)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// One 64 KiB chain of property tests against an event of 1,024 properties:
// distinct names (each test looks its name up), and one shared name (every
// test would compare a thousand values; the budget stops it).
void BM_FilterOrChain(benchmark::State &state) {
    bool oneName = state.range(0) != 0;
    Notification e;
    e.type = "ALARM/DISK/FULL";
    for (int i = 0; i < 1024; ++i)
        e.properties.push_back({(oneName ? std::string("x") : "p" + std::to_string(i)) + ": 1"});
    std::string chain;
    for (int i = 0; chain.size() < 64 * 1024 - 200; i = (i + 37) % 1024)
        chain += (chain.empty() ? "" : " or ") +
                 ("prop." + (oneName ? std::string("x") : "p" + std::to_string(i)) + " = 2");
    Filter filter = Filter::compile(chain);
    Match last = Match::no;
    for (auto _ : state) {
        NotificationView view(e);  // the lookup is built once per event
        benchmark::DoNotOptimize(last = filter.evaluate(view));
    }
    state.SetLabel(last == Match::over_budget ? "over budget" : "evaluated");
}
BENCHMARK(BM_FilterOrChain)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Routing one event: ten subscriptions that match it, and `range(0)` more on
// other types, selected through the index and then evaluated; the second
// variant evaluates every filter, as routing without the index must.
struct Subscriptions {
    SubscriptionIndex index;
    std::vector<std::pair<SubscriptionKey, Filter>> all;
    explicit Subscriptions(int others) {
        for (int i = 0; i < others; ++i) add({1, i}, "OTHER/" + std::to_string(i) + "/* and prop.x");
        for (int i = 0; i < 10; ++i) add({2, i}, "ALARM/DISK/* and prop.severity >= " + std::to_string(i));
    }
    void add(SubscriptionKey key, const std::string &text) {
        all.emplace_back(key, Filter::compile(text));
        index.add(key, all.back().second);
    }
};

Notification alarm() {
    Notification e;
    e.type = "ALARM/DISK/FULL";
    e.properties = {{"severity: 5"}, {"x: 1"}};
    return e;
}

void BM_RouteThroughIndex(benchmark::State &state) {
    Subscriptions subs(static_cast<int>(state.range(0)));
    std::map<SubscriptionKey, const Filter *> byKey;
    for (const auto &[key, filter] : subs.all) byKey[key] = &filter;
    Notification e = alarm();
    std::vector<SubscriptionKey> candidates;
    std::size_t delivered = 0;
    for (auto _ : state) {
        NotificationView view(e);
        subs.index.candidates(e.type, candidates);
        delivered = 0;
        for (const SubscriptionKey &k : candidates)
            delivered += byKey.at(k)->evaluate(view) == Match::yes;
        benchmark::DoNotOptimize(delivered);
    }
    state.counters["delivered"] = static_cast<double>(delivered);
}
BENCHMARK(BM_RouteThroughIndex)->Arg(0)->Arg(10000);

void BM_RouteEvaluatingAll(benchmark::State &state) {
    Subscriptions subs(static_cast<int>(state.range(0)));
    Notification e = alarm();
    std::size_t delivered = 0;
    for (auto _ : state) {
        NotificationView view(e);
        delivered = 0;
        for (const auto &[key, filter] : subs.all) delivered += filter.evaluate(view) == Match::yes;
        benchmark::DoNotOptimize(delivered);
    }
    state.counters["delivered"] = static_cast<double>(delivered);
}
BENCHMARK(BM_RouteEvaluatingAll)->Arg(0)->Arg(10000);

}  // namespace
