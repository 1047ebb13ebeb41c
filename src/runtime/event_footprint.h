// What a queued event holds in memory, for the send queue's bound: the
// blocks its record and texts live in and whatever was allocated apart, each
// as the allocator hands it out, and the queue's node that holds it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "notification/notification.h"

namespace vavevar {

// The heap chunk a request of `size` bytes takes: a header word, rounded up
// to the allocator's 16-byte alignment, never below its smallest chunk.
std::uint64_t lumo_heap_chunk(std::size_t size) noexcept;

// The bytes `n` holds while queued. The same for as long as nobody changes
// `n`, which nobody does between publish and release. REQUIRES: n is not null.
std::uint64_t lumo_event_footprint(const lumo_notification *n) noexcept;

}  // namespace vavevar
