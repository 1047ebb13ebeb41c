#include "pubsub/publisher.h"

#include <cstdio>
#include <cstring>

#include "notification/notification.h"
#include "port/itoa.h"
#include "port/memory.h"
#include "runtime/link.h"
#include "pubsub/registry.h"
#include "runtime/runtime_state.h"
#include "runtime/sender.h"

namespace vavevar {
namespace {

// Room for a 32-bit number in decimal, its sign and the NUL.
constexpr std::size_t kNumberRoom = 12;

void free_publisher(lumo_publisher *publisher) {
    lumo_lock_destroy(publisher->lock);
    lumo_free(publisher->idPrefix);
    lumo_free(publisher->component);
    lumo_free(publisher);
}

std::int32_t take_sequence(lumo_publisher *publisher) {
    LockGuard guard(publisher->lock);
    return publisher->sequence++;
}

}  // namespace

lumo_publisher *lumo_publisher_new(const char *component, const PublisherOptions &options) noexcept
    LUMO_NO_THREAD_SAFETY_ANALYSIS {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr) return nullptr;
    auto *publisher = static_cast<lumo_publisher *>(lumo_malloc(sizeof(lumo_publisher)));
    if (publisher == nullptr) return nullptr;
    std::memset(static_cast<void *>(publisher), 0, sizeof *publisher);
    std::size_t prefix_size = std::strlen(rt->self_id) + kNumberRoom;
    publisher->component = lumo_strdup(component);
    publisher->idPrefix = static_cast<char *>(lumo_malloc(prefix_size));
    publisher->lock = lumo_lock_create();
    if (publisher->component == nullptr || publisher->idPrefix == nullptr ||
        publisher->lock == nullptr) {
        free_publisher(publisher);
        return nullptr;
    }
    if (options.waitForLink) lumo_link_wait(options.linkWaitMs);
    publisher->sequence = 1;
    publisher->id = lumo_registry_add_publisher(publisher);
    if (publisher->id < 0) {
        free_publisher(publisher);
        return nullptr;
    }
    std::snprintf(publisher->idPrefix, prefix_size, "%s%d", rt->self_id, publisher->id);
    publisher->subscriberId = options.subscriberId;
    return publisher;
}

void lumo_publisher_publish(lumo_publisher *publisher, lumo_notification *n) noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr) return;
    if (n->generatingComponent == nullptr) {
        // Sized to the prefix, so no host name is too long for it.
        char id[128];
        std::size_t size = std::strlen(publisher->idPrefix) + kNumberRoom;
        char *text = size <= sizeof id ? id : static_cast<char *>(lumo_malloc(size));
        if (text != nullptr) {
            std::size_t prefix = size - kNumberRoom;
            std::memcpy(text, publisher->idPrefix, prefix);
            lumo_itoa(text + prefix, take_sequence(publisher));
            lumo_notification_stampForPublish(n, publisher->component, rt->host_name, rt->self_id,
                                              text, publisher->subscriberId);
        }
        if (text != id) lumo_free(text);
    }
    if (n->notificationClass == kOutgoingStreamingNotification) {
        lumo_notification_setStream(n, publisher);
        return;
    }
    lumo_sender_enqueue_event(n);
}

void lumo_publisher_close(lumo_publisher *publisher) noexcept {
    if (publisher == nullptr) return;
    if (lumo_runtime_current() != nullptr) lumo_registry_remove_publisher(publisher, publisher->id);
    free_publisher(publisher);
}

}  // namespace vavevar
