#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "notification/notification.h"
#include "notification/proplist.h"

namespace vavevar {
namespace {

void BM_NotificationWithProperties(benchmark::State &state) {
    const int properties = static_cast<int>(state.range(0));
    std::vector<std::string> names;
    for (int i = 0; i < properties; ++i) names.push_back("property" + std::to_string(i));
    for (auto _ : state) {
        lumo_notification *n = lumo_notification_create("bench.type", "0123456789abcdef", 16);
        for (const std::string &name : names) vavevar::lumo_notification_setProperty(n, name.c_str(), "value");
        benchmark::DoNotOptimize(vavevar::lumo_notification_getProperty(n, names.front().c_str()));
        lumo_notification_destroy(n);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NotificationWithProperties)->Arg(1)->Arg(8)->Arg(32);

void BM_ProplistPutDistinct(benchmark::State &state) {
    const int entries = static_cast<int>(state.range(0));
    std::vector<std::string> names;
    for (int i = 0; i < entries; ++i) names.push_back("name" + std::to_string(i));
    for (auto _ : state) {
        lumo_proplist *list = lumo_proplist_create();
        for (const std::string &name : names) vavevar::lumo_proplist_put(list, name.c_str(), "v");
        benchmark::DoNotOptimize(vavevar::lumo_proplist_get(list, names.back().c_str()));
        lumo_proplist_destroy(list);
    }
    state.SetItemsProcessed(state.iterations() * entries);
}
BENCHMARK(BM_ProplistPutDistinct)->Arg(8)->Arg(64);

}  // namespace
}  // namespace vavevar
