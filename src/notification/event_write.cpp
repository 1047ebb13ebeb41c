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
    // A header whose text is null is written as its name followed by CR LF.
    void header(const char *name, const char *value) {
        text(name);
        text(value);
        text("\r\n");
    }
    void number_header(const char *name, long long value) {
        char digits[32];
        int length = std::snprintf(digits, sizeof digits, "%lld", value);
        text(name);
        bytes(digits, static_cast<std::size_t>(length));
        text("\r\n");
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
    out.text("POST /event HTTP/1.1\r\n");
    out.header("className: ", lumo_class_name(n->notificationClass));
    out.number_header("SubscriberID: ", n->subscriberId);
    out.header("eventType: ", n->type);
    out.header("eventId: ", n->id);
    if (lumo_class_is_full_form(n->notificationClass)) {
        out.header("affectedComponents: ", n->affectedComponents);
        out.header("affectedNodes: ", n->affectedNodes);
        out.header("generatingComponent: ", n->generatingComponent);
        out.header("generatingProcess: ", n->generatingProcess);
        out.header("generatingNode: ", n->generatingNode);
        out.text("instanceName: ");
        if (instanceName != nullptr) out.bytes(instanceName, instanceNameLength);
        out.text("\r\n");
        out.header("LocalOnly: ", n->localOnly != 0 ? "true" : "false");
        long long count = 0;
        for (const lumo_propnode *p = n->properties; p != nullptr; p = p->next) ++count;
        out.number_header("numberOfProperties: ", count);
        for (const lumo_propnode *p = n->properties; p != nullptr; p = p->next) {
            out.text(p->name);
            out.text(": ");
            out.text(p->value);
            out.text("\r\n");
        }
        if (n->notificationClass == kIncomingStreamingNotification)
            out.header("streamKey: ", n->streamKey);
    }
    std::int32_t body_length = n->body != nullptr && n->bodyLength > 0 ? n->bodyLength : 0;
    out.number_header("Content-Length: ", body_length);
    out.text("AddrList-Length: 0\r\n");
    out.text("\r\n");
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
