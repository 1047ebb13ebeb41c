// Exported publisher and subscriber entry points.
#include "pubsub/publisher.h"
#include "pubsub/subscriber.h"
#include "vavevar.h"

namespace v = vavevar;

extern "C" {

LUMO_EXPORT lumo_publisher *lumo_publisher_create(const char *component) noexcept {
    return v::lumo_publisher_new(component, v::PublisherOptions{.waitForLink = true});
}

LUMO_EXPORT void lumo_publisher_publish(lumo_publisher *publisher, lumo_notification *n) noexcept {
    v::lumo_publisher_publish(publisher, n);
}

LUMO_EXPORT void lumo_publisher_close(lumo_publisher *publisher) noexcept {
    v::lumo_publisher_close(publisher);
}

LUMO_EXPORT lumo_subscriber *lumo_subscriber_create(const char *subscription, const char *component,
                                                    const char *mbrInterest,
                                                    const lumo_proplist *properties,
                                                    char **status) noexcept {
    return v::lumo_subscriber_new(subscription, component, mbrInterest, properties,
                                  v::SubscriberOptions{.status = status});
}

LUMO_EXPORT lumo_subscriber *lumo_subscriber_create_wdeltas(const char *subscription,
                                                            const char *component,
                                                            const char *mbrInterest,
                                                            const lumo_proplist *properties,
                                                            char **status) noexcept {
    return v::lumo_subscriber_new(subscription, component, mbrInterest, properties,
                                  v::SubscriberOptions{.deltas = true, .status = status});
}

LUMO_EXPORT lumo_subscriber *lumo_subscriber_create_wtimeout(const char *subscription,
                                                             const char *component,
                                                             const char *mbrInterest,
                                                             const lumo_proplist *properties,
                                                             char **status,
                                                             int32_t timeoutMs) noexcept {
    return v::lumo_subscriber_new(subscription, component, mbrInterest, properties,
                                  v::SubscriberOptions{.timeoutMs = timeoutMs, .status = status});
}

LUMO_EXPORT lumo_subscriber *lumo_subscriber_create_async(const char *subscription,
                                                          const char *component,
                                                          const char *mbrInterest,
                                                          const lumo_proplist *properties) noexcept {
    return v::lumo_subscriber_new(subscription, component, mbrInterest, properties,
                                  v::SubscriberOptions{.wait = false});
}

LUMO_EXPORT void lumo_subscriber_close(lumo_subscriber *subscriber) noexcept {
    v::lumo_subscriber_close(subscriber);
}

LUMO_EXPORT int32_t lumo_subscriber_status(lumo_subscriber *subscriber, char **status) noexcept {
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
    return v::lumo_subscriber_receive(subscriber, wait, timeoutMs);
}

LUMO_EXPORT void lumo_subscriber_relinquish(lumo_subscriber *subscriber,
                                            lumo_notification *n) noexcept {
    v::lumo_subscriber_relinquish(subscriber, n);
}

LUMO_EXPORT int32_t lumo_subscriber_registercallback(lumo_subscriber *subscriber,
                                                     lumo_subscriber_callback callback,
                                                     void *context, int32_t mode) noexcept {
    return v::lumo_subscriber_registercallback(subscriber, callback, context, mode);
}

LUMO_EXPORT int32_t lumo_subscriber_cancelcallback(lumo_subscriber *subscriber) noexcept {
    return v::lumo_subscriber_cancelcallback(subscriber);
}

}  // extern "C"
