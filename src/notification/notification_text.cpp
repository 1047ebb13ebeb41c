#include "notification/notification_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "bodyblock/bodyblock.h"
#include "notification/notification.h"
#include "port/memory.h"
#include "port/textbuf.h"

namespace vavevar {
namespace {

constexpr char kNullText[] = "(null)";
constexpr char kFormatError[] = "<lumo_bodyblock-format-error>";
constexpr char kNullNotification[] = "NOTIFICATION 0x0 (NULL)\n";

const char *shown(const char *text) { return text != nullptr ? text : kNullText; }

struct Sections {
    bool full;         // generating fields, instance, affected, flag, properties
    bool source_addr;
    bool body;         // body length and body section
};

Sections sections_of(std::int32_t cls) {
    if (wire::is_full_form(cls)) return {true, true, true};
    switch (cls) {
    case kStateGetNotification:
        return {false, true, false};
    case kStateSetNotification:
        return {false, true, true};
    default:
        return {false, false, false};
    }
}

char *copy_bytes(const char *bytes, std::size_t length) {
    auto *copy = static_cast<char *>(lumo_malloc(length + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

// Decodes the body as a body block and renders it; `on_error` is what shows
// when the body is not one.
char *render_block(const char *body, std::int32_t length, std::int32_t mode) {
    lumo_bb *block = vavevar::lumo_bb_body2block(body, length);
    if (block == nullptr)
        return mode == kBodyBlockOrHex ? lumo_hexdump(body, length) : lumo_strdup(kFormatError);
    char *text = vavevar::lumo_bb_toString(block);
    vavevar::lumo_bb_destroy(block);
    return text;
}

// The body section's text, owned by the caller; null shows as "(null)".
char *render_body(const lumo_notification *n, std::int32_t mode) {
    switch (mode) {
    case kBodyHex:
        return lumo_hexdump(n->body, n->bodyLength);
    case kBodyText:
        if (n->body == nullptr) return lumo_strdup(kNullText);
        return copy_bytes(n->body, strnlen(n->body, static_cast<std::size_t>(n->bodyLength)));
    case kBodyBlockOrError:
    case kBodyBlockOrHex:
        return render_block(n->body, n->bodyLength, mode);
    default:
        return nullptr;
    }
}

bool render(char **text, const lumo_notification *n, std::int32_t mode) {
    const Sections show = sections_of(n->notificationClass);
    bool ok = lumo_textbuf_printf(text,
                                  "NOTIFICATION %p ==>\n"
                                  "  Notification Class:   %s\n"
                                  "  Notification ID:      %s\n"
                                  "  Notification Type:    %s\n"
                                  "  Creation Time:        %" PRIu32 "\n"
                                  "  Delivery Time:        %" PRId32 "\n",
                                  static_cast<const void *>(n), wire::class_name(n->notificationClass).data(),
                                  shown(n->id), shown(n->type), vavevar::lumo_notification_creationTime(n),
                                  vavevar::lumo_notification_deliveryTime(n)) >= 0;
    if (ok && show.full) {
        ok = lumo_textbuf_printf(text,
                                 "  Generating Component: %s\n"
                                 "  Generating Node:      %s\n"
                                 "  Generating Process:   %s\n"
                                 "  Instance Name:        %s\n"
                                 "  Affected Components:  %s\n"
                                 "  Affected Nodes:       %s\n"
                                 "  Local Only Flag:      %s\n",
                                 shown(n->generatingComponent), shown(n->generatingNode),
                                 shown(n->generatingProcess), shown(n->instanceName),
                                 shown(n->affectedComponents), shown(n->affectedNodes),
                                 n->localOnly != 0 ? "true" : "false") >= 0;
        for (const lumo_propnode *p = n->properties; ok && p != nullptr; p = p->next)
            ok = lumo_textbuf_printf(text, "  Property:             %s=%s\n", shown(p->name),
                                     shown(p->value)) >= 0;
    }
    if (ok && show.source_addr)
        ok = lumo_textbuf_printf(text, "  Source Addr:          %s\n", kNullText) >= 0;
    if (ok && show.body)
        ok = lumo_textbuf_printf(text, "  Body Length:          %" PRId32 "\n", n->bodyLength) >= 0;
    if (ok && show.body && mode != kBodyNone && n->bodyLength > 0) {
        char *body = render_body(n, mode);
        ok = lumo_textbuf_printf(text, "  Body:\n%s\n", shown(body)) >= 0;
        lumo_free(body);
    }
    return ok;
}

}  // namespace

char *lumo_hexdump(const char *bytes, std::int32_t length) noexcept {
    if (bytes == nullptr || length <= 0) return lumo_strdup("");
    static constexpr char kDigits[] = "0123456789abcdef";
    constexpr std::size_t kPerLine = 32;
    const auto count = static_cast<std::size_t>(length);
    auto *dump = static_cast<char *>(lumo_malloc((count / kPerLine) * 80 + 80));
    if (dump == nullptr) return nullptr;
    char *out = dump;
    for (std::size_t i = 0; i < count; ++i) {
        if (i % kPerLine == 0) out = static_cast<char *>(std::memcpy(out, "    ", 4)) + 4;
        const auto byte = static_cast<unsigned char>(bytes[i]);
        *out++ = kDigits[byte >> 4];
        *out++ = kDigits[byte & 0x0F];
        if ((i + 1) % 4 == 0) *out++ = ' ';
        if ((i + 1) % kPerLine == 0) *out++ = '\n';
    }
    if (count % kPerLine != 0) *out++ = '\n';
    *out = '\0';
    return dump;
}

char *lumo_notification_toString(const lumo_notification *n, std::int32_t mode) noexcept {
    char *text = nullptr;
    const bool ok = n == nullptr ? lumo_textbuf_printf(&text, "%s", kNullNotification) >= 0
                                 : render(&text, n, mode);
    // A text with rows missing would misrepresent the notification.
    if (!ok) {
        lumo_free(text);
        return nullptr;
    }
    return text;
}

void lumo_notification_print(const lumo_notification *n) noexcept {
    char *text = vavevar::lumo_notification_toString(n, kBodyNone);
    if (text == nullptr) return;
    std::fprintf(stderr, "%s", text);
    std::fflush(stderr);
    lumo_free(text);
}

}  // namespace vavevar
