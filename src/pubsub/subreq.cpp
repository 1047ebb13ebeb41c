#include "pubsub/subreq.h"

#include <cstdio>
#include <string_view>

#include "notification/event_wire.h"
#include "notification/proplist.h"
#include "port/memory.h"
#include "runtime/conn.h"
#include "runtime/control_wire.h"
#include "runtime/sender.h"

namespace vavevar {
namespace {

lumo_subreq *allocate(std::uint32_t kind, std::int32_t subscriberId) {
    auto *request = static_cast<lumo_subreq *>(lumo_malloc(sizeof(lumo_subreq)));
    if (request != nullptr) *request = lumo_subreq{kind, subscriberId, nullptr, nullptr, nullptr, 0, nullptr};
    return request;
}

bool copy(char *&into, const char *text) {
    into = lumo_strdup_null(text);
    return text == nullptr || into != nullptr;
}

class RequestWriter {
public:
    explicit RequestWriter(lumo_conn *conn) : conn_(conn) {}
    void text(std::string_view data) {
        if (ok_ && !data.empty())
            ok_ = lumo_conn_write(conn_, data.data(), static_cast<std::uint32_t>(data.size())) != 0;
    }
    // A null value writes nothing.
    void line(std::string_view name, const char *value) {
        text(name);
        if (value != nullptr) text(value);
        text(wire::kLineEnd);
    }
    void number_line(std::string_view name, long value) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "%ld", value);
        line(name, digits);
    }
    int finish() { return ok_ && lumo_conn_flush(conn_) != 0 ? 1 : 0; }

private:
    lumo_conn *conn_;
    bool ok_ = true;
};

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

int lumo_subreq_write(const lumo_subreq *request, lumo_conn *conn) noexcept {
    RequestWriter out(conn);
    const bool unsubscribe = request->kind == kUnsubscribe;
    out.text(unsubscribe ? wire::kUnsubscribeLine : wire::kSubscribeLine);
    out.line(wire::kContentLength, "0");
    out.number_line(wire::kSubscriberId, request->subscriberId);
    if (!unsubscribe) {
        out.line(wire::kSubscription, request->subscription != nullptr ? request->subscription : "null");
        out.line(wire::kComponent, request->component);
        out.line(wire::kMbrInterest, request->mbrInterest != nullptr ? request->mbrInterest : "null");
        out.line(wire::kMbrDeltas, request->deltas != 0 ? "true" : "false");
        const lumo_proplist *properties = request->properties;
        out.number_line(wire::kNumberOfProperties, vavevar::lumo_proplist_count(properties));
        for (std::int32_t i = 0; properties != nullptr && i < properties->count; ++i) {
            out.text(properties->entries[i].name);
            out.line(wire::kPropertySeparator, properties->entries[i].value);
        }
    }
    out.text(wire::kLineEnd);
    return out.finish();
}

namespace {

const OutmsgOps kSubreqOps = {
    [](const void *payload, lumo_conn *conn) noexcept {
        return lumo_subreq_write(static_cast<const lumo_subreq *>(payload), conn);
    },
    [](void *payload) noexcept { lumo_subreq_free(static_cast<lumo_subreq *>(payload)); },
};

}  // namespace

std::int32_t lumo_subreq_enqueue(lumo_subreq *request) noexcept {
    if (request == nullptr) return 0;
    return lumo_sender_enqueue_request(request->kind == kSubscribe ? kOutmsgSubscribe : kOutmsgUnsubscribe,
                                       request->subscriberId, request, &kSubreqOps);
}

}  // namespace vavevar
