// Exported start, stop and runtime query entry points.
#include "pubsub/registry.h"
#include "runtime/lifecycle.h"
#include "pubsub/one_time_publish.h"
#include "vavevar.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT int32_t lumo_init(void) noexcept { return v::lumo_pubsub_start(nullptr, 0); }

LUMO_EXPORT int32_t lumo_init_with_port(int32_t port) noexcept {
    return v::lumo_pubsub_start(nullptr, port);
}

LUMO_EXPORT int32_t lumo_init_wtamrixhome(const char *home) noexcept {
    return v::lumo_pubsub_start(home, 0);
}

LUMO_EXPORT void lumo_shutdown(void) noexcept { v::lumo_runtime_stop(1); }

LUMO_EXPORT void lumo_shutdown_nowait(void) noexcept { v::lumo_runtime_stop(0); }

LUMO_EXPORT void lumo_get_instancename(char **out) noexcept {
    if (out == nullptr) return;
    *out = nullptr;
    *out = v::lumo_runtime_instance_name_copy();
}

LUMO_EXPORT void lumo_get_tiername(char **out) noexcept {
    if (out != nullptr) *out = nullptr;
}

// One-time publish refuses a null component or notification itself, before it
// starts anything.
LUMO_EXPORT int32_t lumo_one_time_publish(const char *component, lumo_notification *n) noexcept {
    return v::lumo_one_time_publish(component, n);
}

LUMO_EXPORT int32_t lumo_one_time_remote_publish(const char *, int32_t, const char *,
                                                 lumo_notification *) noexcept {
    return -1;
}

}  // extern "C"
