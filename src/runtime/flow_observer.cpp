#include "runtime/flow_observer.h"

#include <atomic>

namespace vavevar {
namespace {
std::atomic<FlowObserver> g_observer{nullptr};
}  // namespace

void flow_observer_set(FlowObserver observer) noexcept { g_observer.store(observer); }

void flow_observe(std::int32_t kind, std::uint64_t count) noexcept {
    if (FlowObserver observer = g_observer.load(std::memory_order_acquire)) observer(kind, count);
}

}  // namespace vavevar
