// Exported publisher and subscriber entry points. The arguments are checked
// here, once; the operations called take them for granted unless a comment
// says why not. Whether the library is started is state, not an argument, and
// is looked at inside.
#include "pubsub/publisher.h"
#include "pubsub/subscriber.h"
#include "vavevar.h"

namespace v = vavevar;

namespace {

// Every creation needs a component: the subscriber's own publisher is made
// under it. A refused creation reports no status text.
lumo_subscriber *refuse_creation(char **status) noexcept {
    if (status != nullptr) *status = nullptr;
    return nullptr;
}

}  // namespace

extern "C" {

LUMO_EXPORT lumo_publisher *lumo_publisher_create(const char *component) noexcept {
    if (component == nullptr) return nullptr;
    return v::lumo_publisher_new(component, v::PublisherOptions{.waitForLink = true});
}

LUMO_EXPORT void lumo_publisher_publish(lumo_publisher *publisher, lumo_notification *n) noexcept {
    if (publisher == nullptr || n == nullptr) return;  // `n` stays the caller's
    v::lumo_publisher_publish(publisher, n);
}

// Close takes null itself: a subscriber whose own publisher could not be made
// closes the null it holds.
LUMO_EXPORT void lumo_publisher_close(lumo_publisher *publisher) noexcept {
    v::lumo_publisher_close(publisher);
}

LUMO_EXPORT lumo_subscriber *lumo_subscriber_create(const char *subscription, const char *component,
                                                    const char *mbrInterest,
                                                    const lumo_proplist *properties,
                                                    char **status) noexcept {
    if (component == nullptr) return refuse_creation(status);
    return v::lumo_subscriber_new(subscription, component, mbrInterest, properties,
                                  v::SubscriberOptions{.status = status});
}

LUMO_EXPORT lumo_subscriber *lumo_subscriber_create_wdeltas(const char *subscription,
                                                            const char *component,
                                                            const char *mbrInterest,
                                                            const lumo_proplist *properties,
                                                            char **status) noexcept {
    if (component == nullptr) return refuse_creation(status);
    return v::lumo_subscriber_new(subscription, component, mbrInterest, properties,
                                  v::SubscriberOptions{.deltas = true, .status = status});
}

LUMO_EXPORT lumo_subscriber *lumo_subscriber_create_wtimeout(const char *subscription,
                                                             const char *component,
                                                             const char *mbrInterest,
                                                             const lumo_proplist *properties,
                                                             char **status,
                                                             int32_t timeoutMs) noexcept {
    if (component == nullptr) return refuse_creation(status);
    return v::lumo_subscriber_new(subscription, component, mbrInterest, properties,
                                  v::SubscriberOptions{.timeoutMs = timeoutMs, .status = status});
}

LUMO_EXPORT lumo_subscriber *lumo_subscriber_create_async(const char *subscription,
                                                          const char *component,
                                                          const char *mbrInterest,
                                                          const lumo_proplist *properties) noexcept {
    if (component == nullptr) return nullptr;
    return v::lumo_subscriber_new(subscription, component, mbrInterest, properties,
                                  v::SubscriberOptions{.wait = false});
}

LUMO_EXPORT void lumo_subscriber_close(lumo_subscriber *subscriber) noexcept {
    if (subscriber == nullptr) return;
    v::lumo_subscriber_close(subscriber);
}

LUMO_EXPORT int32_t lumo_subscriber_status(lumo_subscriber *subscriber, char **status) noexcept {
    if (subscriber == nullptr) {
        if (status != nullptr) *status = nullptr;
        return 2;
    }
    return v::lumo_subscriber_status(subscriber, status);
}

LUMO_EXPORT int32_t lumo_subscriber_id(const lumo_subscriber *subscriber) noexcept {
    return subscriber != nullptr ? subscriber->id : -1;
}

LUMO_EXPORT const char *lumo_subscriber_subscription(const lumo_subscriber *subscriber) noexcept {
    return subscriber != nullptr ? subscriber->subscription : nullptr;
}

LUMO_EXPORT const char *lumo_subscriber_component(const lumo_subscriber *subscriber) noexcept {
    return subscriber != nullptr ? subscriber->component : nullptr;
}

LUMO_EXPORT lumo_publisher *lumo_subscriber_getPublisher(const lumo_subscriber *subscriber) noexcept {
    return subscriber != nullptr ? subscriber->publisher : nullptr;
}

LUMO_EXPORT const char *lumo_subscriber_getName(lumo_subscriber *subscriber) noexcept {
    return subscriber != nullptr ? v::lumo_subscriber_getName(subscriber) : nullptr;
}

LUMO_EXPORT void lumo_subscriber_setName(lumo_subscriber *subscriber, const char *name) noexcept {
    if (subscriber != nullptr) v::lumo_subscriber_setName(subscriber, name);
}

LUMO_EXPORT lumo_notification *lumo_subscriber_receive(lumo_subscriber *subscriber, int32_t wait,
                                                       int32_t timeoutMs) noexcept {
    if (subscriber == nullptr) return nullptr;
    return v::lumo_subscriber_receive(subscriber, wait, timeoutMs);
}

// A null subscriber is no bad input here: the notification is destroyed all
// the same, which relinquish itself sees to.
LUMO_EXPORT void lumo_subscriber_relinquish(lumo_subscriber *subscriber,
                                            lumo_notification *n) noexcept {
    if (n == nullptr) return;
    v::lumo_subscriber_relinquish(subscriber, n);
}

LUMO_EXPORT int32_t lumo_subscriber_registercallback(lumo_subscriber *subscriber,
                                                     lumo_subscriber_callback callback,
                                                     void *context, int32_t mode) noexcept {
    if (subscriber == nullptr || callback == nullptr) return -1;
    return v::lumo_subscriber_registercallback(subscriber, callback, context, mode);
}

LUMO_EXPORT int32_t lumo_subscriber_cancelcallback(lumo_subscriber *subscriber) noexcept {
    if (subscriber == nullptr) return -1;
    return v::lumo_subscriber_cancelcallback(subscriber);
}

}  // extern "C"
