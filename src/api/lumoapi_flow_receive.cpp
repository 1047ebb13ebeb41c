// Exported flow-control entry points of the receiving side: a subscriber's
// counters and bounds, and the application's flow handler.
#include "pubsub/flow_dispatch.h"
#include "pubsub/subscriber.h"
#include "runtime/runtime_state.h"
#include "vavevar.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT int32_t lumo_subscriber_get_counters(lumo_subscriber *subscriber,
                                                 lumo_subscriber_counters *out) noexcept {
    if (subscriber == nullptr || out == nullptr || v::lumo_runtime_current() == nullptr) return -1;
    v::lumo_subscriber_counters_get(subscriber, out);
    return 0;
}

LUMO_EXPORT int32_t lumo_subscriber_set_limits(lumo_subscriber *subscriber, int64_t max_messages,
                                               int64_t max_bytes) noexcept {
    if (subscriber == nullptr || v::lumo_runtime_current() == nullptr) return -1;
    v::lumo_subscriber_limits_set(subscriber, max_messages, max_bytes);
    return 0;
}

LUMO_EXPORT int32_t lumo_set_flow_handler(lumo_flow_handler handler, void *context) noexcept {
    if (v::lumo_runtime_current() == nullptr) return -1;
    return v::lumo_flow_set_handler(handler, context);
}

}  // extern "C"
