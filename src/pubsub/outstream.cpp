#include "pubsub/outstream.h"

#include <new>

#include "notification/notification.h"
#include "port/memory.h"
#include "pubsub/publisher.h"
#include "runtime/runtime_state.h"

namespace vavevar {
namespace {

// Copies the head's properties in its chain order; each goes in front, so
// the block carries them the other way round. One that cannot be copied is
// left out.
void copy_properties(lumo_notification *block, const lumo_notification *head) {
    for (const lumo_propnode *p = head->properties; p != nullptr; p = p->next)
        vavevar::lumo_notification_setProperty(block, p->name, p->value);
}

lumo_notification *make_block(const lumo_notification *head, const void *data,
                              std::int32_t length) {
    lumo_notification *block = vavevar::lumo_notification_create(head->type, data, length);
    if (block == nullptr) return nullptr;
    lumo_notification_setClass(block, kIncomingStreamingNotification);
    block->streamKey = lumo_strdup_null(head->streamKey);
    block->affectedNodes = lumo_strdup_null(head->affectedNodes);
    block->affectedComponents = lumo_strdup_null(head->affectedComponents);
    if ((head->streamKey != nullptr && block->streamKey == nullptr) ||
        (head->affectedNodes != nullptr && block->affectedNodes == nullptr) ||
        (head->affectedComponents != nullptr && block->affectedComponents == nullptr)) {
        vavevar::lumo_notification_destroy(block);
        return nullptr;
    }
    copy_properties(block, head);
    return block;
}

}  // namespace

lumo_notification *lumo_notification_createstream(const char *type) noexcept {
    lumo_notification *head = vavevar::lumo_notification_create(type, nullptr, 0);
    if (head != nullptr) head->notificationClass = kOutgoingStreamingNotification;
    return head;
}

lumo_outstream *lumo_notification_getOutputStream(lumo_notification *head) noexcept {
    if (head->notificationClass != kOutgoingStreamingNotification || head->outputStream != nullptr)
        return head->outputStream;
    void *memory = lumo_malloc(sizeof(lumo_outstream));
    if (memory == nullptr) return nullptr;
    head->outputStream = new (memory) lumo_outstream{head, {0}};
    return head->outputStream;
}

std::int32_t lumo_outstream_send(lumo_notification *head, const void *data,
                                 std::int32_t length) noexcept {
    // Unpublished, there is no publisher to send through: refused rather than
    // reported as sent.
    if (head->streamPublisher == nullptr || lumo_runtime_current() == nullptr) return 0;
    lumo_notification *block = make_block(head, data, length);
    if (block == nullptr) return -1;
    vavevar::lumo_publisher_publish(head->streamPublisher, block);
    return length;
}

std::int32_t lumo_outstream_write(lumo_outstream *stream, const void *data,
                                  std::int32_t length) noexcept {
    if (stream->closed.load() != 0) return 0;
    return lumo_outstream_send(stream->head, data, length);
}

std::int32_t lumo_outstream_flush(lumo_outstream *) noexcept { return 0; }

void lumo_outstream_close(lumo_outstream **handle) noexcept {
    lumo_outstream *stream = *handle;
    *handle = nullptr;
    if (stream->closed.exchange(1) != 0) return;
    lumo_outstream_send(stream->head, nullptr, 0);
    vavevar::lumo_notification_destroy(stream->head);
    stream->~lumo_outstream();
    lumo_free(stream);
}

}  // namespace vavevar
