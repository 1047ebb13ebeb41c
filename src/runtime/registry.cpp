#include "runtime/registry.h"

#include "notification/notification.h"
#include "port/memory.h"
#include "runtime/runtime_state.h"
#include "runtime/sender.h"

namespace vavevar {

// Subscribers join the table with the publish-and-subscribe layer; until one
// holds a slot, every identifier the daemon names is unknown.
void lumo_registry_deliver(lumo_notification *n, std::int32_t id) noexcept {
    (void)id;
    lumo_notification_destroy(n);
}

void lumo_registry_status(std::int32_t id, std::int32_t success, char *message) noexcept {
    (void)id;
    (void)success;
    lumo_free(message);
}

void lumo_registry_link_lost() noexcept {
    if (lumo_runtime_current() == nullptr) return;
    lumo_sender_purge_unsubscribes();
}

void lumo_registry_resubscribe() noexcept {}

}  // namespace vavevar
