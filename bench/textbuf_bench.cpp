#include <benchmark/benchmark.h>

#include "port/memory.h"
#include "port/textbuf.h"

namespace vavevar {
namespace {

// A rendering of many short lines, the text buffer's typical use.
void BM_TextbufManyLines(benchmark::State &state) {
    const int lines = static_cast<int>(state.range(0));
    for (auto _ : state) {
        char *text = nullptr;
        for (int i = 0; i < lines; ++i) lumo_textbuf_printf(&text, "%*s  %s=%d\n", 4, "", "element", i);
        benchmark::DoNotOptimize(text);
        lumo_free(text);
    }
    state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_TextbufManyLines)->Arg(16)->Arg(1024);

}  // namespace
}  // namespace vavevar
