#include "pubsub/subreq.h"

#include <cstdio>
#include <cstring>

#include "notification/proplist.h"
#include "port/memory.h"
#include "runtime/conn.h"

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
    // A null or empty text writes nothing.
    void text(const char *data) {
        if (ok_ && data != nullptr && *data != '\0')
            ok_ = lumo_conn_write(conn_, data, static_cast<std::uint32_t>(std::strlen(data))) != 0;
    }
    void line(const char *name, const char *value) {
        text(name);
        text(value);
        text("\r\n");
    }
    void number_line(const char *name, long value) {
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
    if (request->kind == kUnsubscribe) {
        out.text("POST /unsubscribe HTTP/1.1\r\n");
        out.text("Content-Length: 0\r\n");
        out.number_line("SubscriberID: ", request->subscriberId);
        out.text("\r\n");
        return out.finish();
    }
    out.text("POST /subscribe HTTP/1.1\r\n");
    out.text("Content-Length: 0\r\n");
    out.number_line("SubscriberID: ", request->subscriberId);
    out.line("Subscription: ", request->subscription != nullptr ? request->subscription : "null");
    out.line("Component: ", request->component);
    out.line("MbrInterest: ", request->mbrInterest != nullptr ? request->mbrInterest : "null");
    out.line("MbrDeltas: ", request->deltas != 0 ? "true" : "false");
    const lumo_proplist *properties = request->properties;
    out.number_line("numberOfProperties: ", vavevar::lumo_proplist_count(properties));
    for (std::int32_t i = 0; properties != nullptr && i < properties->count; ++i) {
        out.text(properties->entries[i].name);
        out.line(": ", properties->entries[i].value);
    }
    out.text("\r\n");
    return out.finish();
}

}  // namespace vavevar
