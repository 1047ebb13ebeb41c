#include <cstdio>
#include <cstring>

#include "notification/event_wire.h"
#include "port/memory.h"
#include "runtime/conn.h"
#include "runtime/runtime_state.h"

namespace vavevar {
namespace {

// Gathers pieces of one message; the first failed write sticks, so the
// message is written straight through and checked once at the end.
class MessageWriter {
public:
    explicit MessageWriter(lumo_conn *conn) : conn_(conn) {}

    void bytes(const char *data, std::size_t length) {
        if (ok_ && length > 0) ok_ = lumo_conn_write(conn_, data, static_cast<std::uint32_t>(length)) != 0;
    }
    void text(const char *data) {
        if (data != nullptr) bytes(data, std::strlen(data));
    }
    void text(std::string_view data) { bytes(data.data(), data.size()); }
    // A header whose text is null is written as its name followed by CR LF.
    void header(std::string_view name, const char *value) {
        text(name);
        text(value);
        text(wire::kLineEnd);
    }
    void number_header(std::string_view name, long long value) {
        char digits[32];
        int length = std::snprintf(digits, sizeof digits, "%lld", value);
        text(name);
        bytes(digits, static_cast<std::size_t>(length));
        text(wire::kLineEnd);
    }
    bool finish() { return ok_ && lumo_conn_flush(conn_) != 0; }

private:
    lumo_conn *conn_;
    bool ok_ = true;
};

}  // namespace

int lumo_event_write_with_instance(const lumo_notification *n, lumo_conn *conn,
                                   const char *instanceName,
                                   std::size_t instanceNameLength) noexcept {
    if (n == nullptr) return -1;
    MessageWriter out(conn);
    out.text(wire::kEventLine);
    out.header(wire::kClassName, lumo_class_name(n->notificationClass));
    out.number_header(wire::kSubscriberId, n->subscriberId);
    out.header(wire::kEventType, n->type);
    out.header(wire::kEventId, n->id);
    if (lumo_class_is_full_form(n->notificationClass)) {
        out.header(wire::kAffectedComponents, n->affectedComponents);
        out.header(wire::kAffectedNodes, n->affectedNodes);
        out.header(wire::kGeneratingComponent, n->generatingComponent);
        out.header(wire::kGeneratingProcess, n->generatingProcess);
        out.header(wire::kGeneratingNode, n->generatingNode);
        out.text(wire::kInstanceName);
        if (instanceName != nullptr) out.bytes(instanceName, instanceNameLength);
        out.text(wire::kLineEnd);
        out.header(wire::kLocalOnly, n->localOnly != 0 ? "true" : "false");
        long long count = 0;
        for (const lumo_propnode *p = n->properties; p != nullptr; p = p->next) ++count;
        out.number_header(wire::kNumberOfProperties, count);
        for (const lumo_propnode *p = n->properties; p != nullptr; p = p->next) {
            out.text(p->name);
            out.text(wire::kPropertySeparator);
            out.text(p->value);
            out.text(wire::kLineEnd);
        }
        if (n->notificationClass == kIncomingStreamingNotification)
            out.header(wire::kStreamKey, n->streamKey);
    }
    std::int32_t body_length = n->body != nullptr && n->bodyLength > 0 ? n->bodyLength : 0;
    out.number_header(wire::kContentLength, body_length);
    out.number_header(wire::kAddrListLength, 0);
    out.text(wire::kLineEnd);
    out.bytes(n->body, static_cast<std::size_t>(body_length));
    return out.finish() ? 1 : 0;
}

int lumo_event_write(const lumo_notification *n, lumo_conn *conn) noexcept {
    if (n == nullptr) return -1;
    // The name is copied out under the runtime's lock and written without it:
    // a send may block, and the receiver must never wait on the sender.
    char buffer[256];
    char *heap = nullptr;
    std::size_t length = 0;
    const char *name =
        lumo_runtime_instance_name(lumo_runtime_current(), buffer, sizeof buffer, &heap, &length);
    int result = lumo_event_write_with_instance(n, conn, name, length);
    lumo_free(heap);
    return result;
}

}  // namespace vavevar
