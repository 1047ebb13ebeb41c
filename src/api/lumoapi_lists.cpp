// Exported subscriber list entry points.
#include "pubsub/subscriber_list.h"
#include "vavevar.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT lumo_subscriberlist *lumo_subscriberlist_create(void) noexcept {
    return v::lumo_subscriberlist_create();
}

LUMO_EXPORT void lumo_subscriberlist_add(lumo_subscriberlist *list,
                                         lumo_subscriber *subscriber) noexcept {
    if (list == nullptr || subscriber == nullptr) return;
    v::lumo_subscriberlist_add(list, subscriber);
}

LUMO_EXPORT void lumo_subscriberlist_destroy(lumo_subscriberlist **list) noexcept {
    if (list == nullptr || *list == nullptr) return;
    v::lumo_subscriberlist_destroy(list);
}

LUMO_EXPORT lumo_subscriber *lumo_subscriber_multirecv(lumo_subscriberlist *list, int32_t wait,
                                                       int32_t timeoutMs) noexcept {
    if (list == nullptr) return nullptr;
    return v::lumo_subscriber_multirecv(list, wait, timeoutMs);
}

}  // extern "C"
