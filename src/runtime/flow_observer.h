// Flow events the runtime reports to the layer above it (link down and up,
// notifications dropped at send). The runtime does not know who listens; the
// observer runs on the reporting thread, possibly under the runtime's locks,
// so it must only record and wake: never block or call into the library.
#pragma once

#include <cstdint>

namespace vavevar {

using FlowObserver = void (*)(std::int32_t kind, std::uint64_t count) noexcept;

void flow_observer_set(FlowObserver observer) noexcept;
void flow_observe(std::int32_t kind, std::uint64_t count) noexcept;

}  // namespace vavevar
