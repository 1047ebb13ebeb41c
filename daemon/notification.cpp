#include "notification.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>

#include "wire/event_texts.h"
#include "wire/message_writer.h"

namespace vavevard {
namespace {

namespace wire = vavevar::wire;

}  // namespace

std::string_view Property::name() const noexcept {
    std::string_view l(line);
    return l.substr(0, l.find(':'));
}

std::string_view Property::value() const noexcept {
    std::string_view l(line);
    std::size_t colon = l.find(':');
    if (colon == std::string_view::npos || colon + 2 > l.size()) return {};
    return l.substr(colon + 2);
}

std::size_t Notification::clear_keeping(std::size_t keep) noexcept {
    static const std::size_t kLocal = std::string().capacity();  // held without a heap buffer
    std::size_t kept = 0;
    auto clear = [&](std::string &s) noexcept {
        if (s.capacity() > keep) std::string().swap(s);
        else s.clear();
        if (s.capacity() > kLocal) kept += s.capacity();
    };
    for (std::string *s : {&type, &id, &affectedComponents, &affectedNodes, &generatingComponent,
                           &generatingProcess, &generatingNode, &instanceName, &streamKey, &body})
        clear(*s);
    if (properties.capacity() * sizeof(Property) > keep) std::vector<Property>().swap(properties);
    else properties.clear();
    kept += properties.capacity() * sizeof(Property);
    cls = kMessageNotification;
    publisherSubscriberId = 0;
    localOnly = false;
    creationMs = 0;
    return kept;
}

// The header names and their order are a contract: the client skips each
// name by its length without reading it. Each piece is written twice, once
// to learn its size and once into the shared bytes, so that the event costs
// one allocation whatever its size.
namespace {

struct Counter {
    std::size_t size = 0;
    void append(const char *, std::size_t n) noexcept { size += n; }
};

struct Filler {
    char *at;
    void append(const char *bytes, std::size_t n) noexcept {
        std::memcpy(at, bytes, n);
        at += n;
    }
};

// An event's numbers, formatted once for both passes.
class Digits {
public:
    explicit Digits(std::int64_t n) noexcept
        : size_(static_cast<std::size_t>(std::to_chars(text_, text_ + sizeof text_, n).ptr - text_)) {}
    std::string_view view() const noexcept { return {text_, size_}; }

private:
    char text_[24];
    std::size_t size_;
};

struct Numbers {
    Digits creation, properties, contentLength;
    explicit Numbers(const Notification &e) noexcept
        : creation(e.creationMs), properties(static_cast<std::int64_t>(e.properties.size())),
          contentLength(static_cast<std::int64_t>(e.body.size())) {}
};

// The head up to the subscriber id's value.
template <typename Sink>
void write_before_id(Sink &sink, const Notification &e) {
    wire::MessageWriter<Sink> out(sink);
    out.raw(wire::kEventLine);
    out.header(wire::kClassName, class_name(e.cls));
    out.raw(wire::kSubscriberId);
}

// From the end of the subscriber id's line up to the delivery time's value.
template <typename Sink>
void write_after_id(Sink &sink, const Notification &e, const Numbers &numbers) {
    wire::MessageWriter<Sink> out(sink);
    out.raw(wire::kLineEnd);
    out.header(wire::kEventType, e.type);
    out.header(wire::kEventId, e.id);
    out.header(wire::kCreationTime, numbers.creation.view());
    out.raw(wire::kDeliveryTime);
}

// From the end of the delivery time's line to the end of the message.
template <typename Sink>
void write_tail(Sink &sink, const Notification &e, const Numbers &numbers, std::string_view instanceName) {
    wire::MessageWriter<Sink> out(sink);
    out.raw(wire::kLineEnd);
    if (is_full_form(e.cls)) {
        out.header(wire::kAffectedComponents, e.affectedComponents);
        out.header(wire::kAffectedNodes, e.affectedNodes);
        out.header(wire::kGeneratingComponent, e.generatingComponent);
        out.header(wire::kGeneratingProcess, e.generatingProcess);
        out.header(wire::kGeneratingNode, e.generatingNode);
        out.header(wire::kInstanceName,
                   e.instanceName.empty() ? instanceName : std::string_view(e.instanceName));
        out.header(wire::kLocalOnly, e.localOnly ? wire::kTrue : wire::kFalse);
        out.header(wire::kNumberOfProperties, numbers.properties.view());
        for (const Property &p : e.properties) out.line(p.line);
        if (e.cls == kIncomingStreamingNotification) out.header(wire::kStreamKey, e.streamKey);
    }
    out.header(wire::kContentLength, numbers.contentLength.view());
    out.header(wire::kAddrListLength, "0");
    out.line({});
    out.raw(e.body);
}

}  // namespace

RenderedEvent::RenderedEvent(const Notification &e, std::string_view instanceName,
                             const std::shared_ptr<MemoryAccount> &account) {
    Numbers numbers(e);
    Counter before, after, tail;
    write_before_id(before, e);
    write_after_id(after, e, numbers);
    write_tail(tail, e, numbers, instanceName);
    bytes_ = EventBytes({before.size, after.size, tail.size}, account);
    Filler fill{bytes_.data(EventBytes::before_id)};
    write_before_id(fill, e);
    write_after_id(fill, e, numbers);
    write_tail(fill, e, numbers, instanceName);
}

void write_delivery_digits(char *at, std::int64_t ms) noexcept {
    if (ms < 0) ms = 0;
    for (std::size_t i = RenderedEvent::kDeliveryDigits; i-- > 0;) {
        at[i] = static_cast<char>('0' + ms % 10);
        ms /= 10;
    }
}

}  // namespace vavevard
