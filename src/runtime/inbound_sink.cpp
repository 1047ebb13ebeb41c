#include "runtime/inbound_sink.h"

#include <atomic>

#include "notification/notification.h"
#include "port/memory.h"

namespace vavevar {
namespace {

// Read by the receiver and the stopping thread without a lock.
std::atomic<const InboundSink *> g_sink{nullptr};

}  // namespace

void lumo_inbound_install(const InboundSink *sink) noexcept { g_sink.store(sink); }

void lumo_inbound_deliver(lumo_notification *n, std::int32_t subscriberId, bool replayed) noexcept {
    if (const InboundSink *sink = g_sink.load()) sink->deliver(n, subscriberId, replayed);
    else lumo_notification_destroy(n);
}

void lumo_inbound_gap(std::int32_t subscriberId, std::uint64_t count) noexcept {
    if (const InboundSink *sink = g_sink.load()) sink->gap(subscriberId, count);
}

void lumo_inbound_status(std::int32_t subscriberId, std::int32_t success, char *message) noexcept {
    if (const InboundSink *sink = g_sink.load()) sink->status(subscriberId, success, message);
    else lumo_free(message);
}

void lumo_inbound_link_lost() noexcept {
    if (const InboundSink *sink = g_sink.load()) sink->link_lost();
}

void lumo_inbound_link_restored() noexcept {
    if (const InboundSink *sink = g_sink.load()) sink->link_restored();
}

void lumo_inbound_release_all(lumo_runtime *runtime) noexcept {
    if (const InboundSink *sink = g_sink.load()) sink->release_all(runtime);
}

}  // namespace vavevar
