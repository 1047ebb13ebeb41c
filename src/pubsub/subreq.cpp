#include "pubsub/subreq.h"

#include <string_view>

#include "notification/proplist.h"
#include "port/memory.h"
#include "runtime/sender.h"
#include "wire/control_texts.h"
#include "wire/event_texts.h"
#include "wire/flow_texts.h"
#include "wire/message_writer.h"

namespace vavevar {
namespace {

lumo_subreq *allocate(std::uint32_t kind, std::int32_t subscriberId) {
    auto *request = static_cast<lumo_subreq *>(lumo_malloc(sizeof(lumo_subreq)));
    if (request != nullptr) *request = lumo_subreq{kind, subscriberId, nullptr, nullptr, nullptr, 0, nullptr, 0};
    return request;
}

bool copy(char *&into, const char *text) {
    into = lumo_strdup_null(text);
    return text == nullptr || into != nullptr;
}

// A text the request does not have.
std::string_view or_null(const char *text) { return text != nullptr ? text : wire::kNull; }
std::string_view or_empty(const char *text) { return text != nullptr ? text : std::string_view{}; }

}  // namespace

lumo_subreq *lumo_subreq_subscribe(std::int32_t subscriberId, const char *subscription,
                                   const char *component, const char *mbrInterest,
                                   std::uint32_t deltas, const lumo_proplist *properties) noexcept {
    lumo_subreq *request = allocate(kSubscribe, subscriberId);
    if (request == nullptr) return nullptr;
    request->deltas = deltas;
    bool ok = copy(request->subscription, subscription) && copy(request->component, component) &&
              copy(request->mbrInterest, mbrInterest);
    if (ok && properties != nullptr) ok = (request->properties = lumo_proplist_copy(properties)) != nullptr;
    if (!ok) {
        lumo_subreq_free(request);
        return nullptr;
    }
    return request;
}

lumo_subreq *lumo_subreq_unsubscribe(std::int32_t subscriberId) noexcept {
    return allocate(kUnsubscribe, subscriberId);
}

void lumo_subreq_free(lumo_subreq *request) noexcept {
    if (request == nullptr) return;
    lumo_free(request->subscription);
    lumo_free(request->component);
    lumo_free(request->mbrInterest);
    if (request->properties != nullptr) lumo_proplist_destroy(request->properties);
    lumo_free(request);
}

bool lumo_subreq_write(const lumo_subreq *request, ByteBuffer &out) noexcept {
    const std::size_t start = out.size();
    wire::MessageWriter<ByteBuffer> message(out);
    const bool unsubscribe = request->kind == kUnsubscribe;
    message.raw(unsubscribe ? wire::kUnsubscribeLine : wire::kSubscribeLine);
    message.number_header(wire::kContentLength, 0);
    message.number_header(wire::kSubscriberId, request->subscriberId);
    if (!unsubscribe) {
        message.header(wire::kSubscription, or_null(request->subscription));
        message.header(wire::kComponent, or_empty(request->component));
        message.header(wire::kMbrInterest, or_null(request->mbrInterest));
        message.header(wire::kMbrDeltas, request->deltas != 0 ? wire::kTrue : wire::kFalse);
        if (request->resubscribe != 0) message.header(wire::kResubscribe, wire::kTrue);
        const lumo_proplist *properties = request->properties;
        message.number_header(wire::kNumberOfProperties, vavevar::lumo_proplist_count(properties));
        for (std::int32_t i = 0; properties != nullptr && i < properties->count; ++i)
            message.property(or_empty(properties->entries[i].name), or_empty(properties->entries[i].value));
    }
    message.line({});
    if (out.ok()) return true;
    out.truncate(start);
    return false;
}

namespace {

const OutmsgOps kSubreqOps = {
    [](const void *payload, ByteBuffer &out) noexcept {
        return lumo_subreq_write(static_cast<const lumo_subreq *>(payload), out);
    },
    [](void *payload) noexcept { lumo_subreq_free(static_cast<lumo_subreq *>(payload)); },
};

}  // namespace

bool lumo_subreq_enqueue(lumo_subreq *request) noexcept {
    if (request == nullptr) return false;
    return lumo_sender_enqueue_request(request->kind == kSubscribe ? kOutmsgSubscribe : kOutmsgUnsubscribe,
                                       request->subscriberId, request, &kSubreqOps);
}

}  // namespace vavevar
