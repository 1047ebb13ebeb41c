// Exported process counters of the sending side.
#include "runtime/process_counters.h"
#include "runtime/runtime_state.h"
#include "vavevar.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT int32_t lumo_get_process_counters(lumo_process_counters *out) noexcept {
    if (out == nullptr || v::lumo_runtime_current() == nullptr) return -1;
    const v::ProcessCounters counters = v::lumo_counters_read();
    *out = lumo_process_counters{counters.published, counters.dropped_at_send, counters.reconnects,
                                 counters.send_queue_bytes, counters.link_up};
    return 0;
}

}  // extern "C"
