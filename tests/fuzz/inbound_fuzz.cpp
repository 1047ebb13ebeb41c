// Feeds arbitrary bytes to the inbound parser as the bytes of a connection
// from its start (the connect reply, then messages), once whole and once one
// byte at a time. Every message must be built whole or the stream fail
// cleanly; nothing may leak or overrun; and how the bytes were split must
// change nothing: both runs must give the same messages and end the same way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "port/memory.h"
#include "runtime/inbound_parser.h"

namespace {

using vavevar::InboundMessage;
using vavevar::InboundParser;

void text(std::string &out, const char *value) {
    out += value != nullptr ? value : "(null)";
    out += '|';
}

// Everything a message carries, releasing what it handed over.
std::string describe(InboundMessage &m) {
    std::string out = std::to_string(static_cast<int>(m.kind)) + "|";
    switch (m.kind) {
    case InboundMessage::Kind::instance_name:
    case InboundMessage::Kind::unknown_line:
        text(out, m.text);
        break;
    case InboundMessage::Kind::connect_reply:
        out += m.success ? "1" : "0";
        break;
    case InboundMessage::Kind::status:
        out += std::to_string(m.subscriberId) + (m.success ? "|1|" : "|0|");
        text(out, m.message);
        vavevar::lumo_free(m.message);
        break;
    case InboundMessage::Kind::gap:
        out += std::to_string(m.subscriberId) + "|" + std::to_string(m.count);
        break;
    case InboundMessage::Kind::event: {
        out += m.replayed ? "r|" : "e|";
        for (std::int32_t i = 0; i < m.idCount; ++i) out += std::to_string(m.ids[i]) + ";";
        const lumo_notification *n = m.notification;
        out += std::to_string(n->notificationClass) + "|" + std::to_string(n->creationTime) + "|" +
               std::to_string(n->deliveryTime) + "|" + std::to_string(n->localOnly) + "|";
        for (const char *t : {n->type, n->id, n->affectedComponents, n->affectedNodes, n->generatingComponent,
                              n->generatingProcess, n->generatingNode, n->instanceName, n->streamKey})
            text(out, t);
        for (const vavevar::lumo_propnode *p = n->properties; p != nullptr; p = p->next) {
            text(out, p->name);
            text(out, p->value);
        }
        if (n->body != nullptr) out.append(n->body, static_cast<std::size_t>(n->bodyLength) + 1);
        vavevar::lumo_notification_destroy(m.notification);
        vavevar::lumo_free(m.ids);
        break;
    }
    }
    return out + "\n";
}

std::string run(const std::uint8_t *data, std::size_t size, std::size_t piece) {
    InboundParser parser(true);
    std::string messages;
    InboundParser::Status status = InboundParser::Status::need_more;
    for (std::size_t at = 0; at < size && status != InboundParser::Status::failed; at += piece) {
        std::size_t n = size - at < piece ? size - at : piece;
        if (!parser.feed(reinterpret_cast<const char *>(data) + at, n)) return messages + "no memory";
        InboundMessage m;
        while ((status = parser.next(m)) == InboundParser::Status::ready) messages += describe(m);
    }
    return messages + (status == InboundParser::Status::failed ? "failed" : "waiting");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    if (run(data, size, size) != run(data, size, 1)) std::abort();
    return 0;
}
