#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "bodyblock/bodyblock.h"
#include "port/memory.h"

namespace vavevar {
namespace {

// A realistic block: 20 segments over 3 levels (5 top-level segments, each
// with a child holding two grandchildren), 10 elements in each: short texts,
// numbers, and one 64-byte binary value.
lumo_bb *realistic_block() {
    lumo_bb *block = vavevar::lumo_bb_create();
    std::string binary(64, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 37);
    auto fill = [&](lumo_bb_seg *seg, int serial) {
        for (int e = 0; e < 9; ++e) {
            const std::string name = "field" + std::to_string(e);
            const std::string value = e % 3 == 0 ? std::to_string(serial * 1000 + e)
                                                 : "value of " + name + " in segment " +
                                                       std::to_string(serial);
            vavevar::lumo_bb_seg_addelement(seg, name.c_str(), value.c_str());
        }
        vavevar::lumo_bb_seg_addelement_b(seg, "payload", binary.data(),
                                          static_cast<std::int32_t>(binary.size()));
    };
    int serial = 0;
    for (int top = 0; top < 5; ++top) {
        lumo_bb_seg *t = vavevar::lumo_bb_addsegment(block, ("record" + std::to_string(top)).c_str());
        fill(t, serial++);
        lumo_bb_seg *child = vavevar::lumo_bb_seg_addsegment(t, "details");
        fill(child, serial++);
        for (int g = 0; g < 2; ++g) {
            lumo_bb_seg *grand =
                vavevar::lumo_bb_seg_addsegment(child, ("part" + std::to_string(g)).c_str());
            fill(grand, serial++);
        }
    }
    return block;
}

void BM_BodyBlockEncode(benchmark::State &state) {
    lumo_bb *block = realistic_block();
    std::uint32_t length = 0;
    for (auto _ : state) {
        void *body = vavevar::lumo_bb_block2body(block, &length);
        benchmark::DoNotOptimize(body);
        lumo_free(body);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * length);
    state.SetItemsProcessed(state.iterations());
    state.counters["body_bytes"] = length;
    vavevar::lumo_bb_destroy(block);
}
BENCHMARK(BM_BodyBlockEncode);

void BM_BodyBlockDecode(benchmark::State &state) {
    lumo_bb *source = realistic_block();
    std::uint32_t length = 0;
    void *body = vavevar::lumo_bb_block2body(source, &length);
    vavevar::lumo_bb_destroy(source);
    for (auto _ : state) {
        lumo_bb *block = vavevar::lumo_bb_body2block(body, static_cast<std::int32_t>(length));
        benchmark::DoNotOptimize(block);
        vavevar::lumo_bb_destroy(block);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * length);
    state.SetItemsProcessed(state.iterations());
    state.counters["body_bytes"] = length;
    lumo_free(body);
}
BENCHMARK(BM_BodyBlockDecode);

void BM_BodyBlockToString(benchmark::State &state) {
    lumo_bb *block = realistic_block();
    for (auto _ : state) {
        char *text = vavevar::lumo_bb_toString(block);
        benchmark::DoNotOptimize(text);
        lumo_free(text);
    }
    state.SetItemsProcessed(state.iterations());
    vavevar::lumo_bb_destroy(block);
}
BENCHMARK(BM_BodyBlockToString);

}  // namespace
}  // namespace vavevar
