#include "replay_store.h"

#include <new>
#include <utility>

namespace vavevard {
namespace {

// What a copy of the fields a filter reads costs, bookkeeping included.
std::size_t field_bytes(const Notification &e) noexcept {
    std::size_t n = sizeof(Notification) + 64;
    for (const std::string *s : {&e.type, &e.id, &e.affectedComponents, &e.affectedNodes,
                                 &e.generatingComponent, &e.generatingProcess, &e.generatingNode,
                                 &e.instanceName, &e.streamKey})
        n += s->size();
    n += e.properties.size() * sizeof(Property);
    for (const Property &p : e.properties) n += p.line.size();
    return n;
}

}  // namespace

ReplayStore::ReplayStore(ReplayWindow window, std::int64_t startMonoMs,
                         std::shared_ptr<MemoryAccount> account)
    : window_(window), closesMs_(startMonoMs + window.ms), closed_(window.ms <= 0 || window.bytes == 0),
      fields_(std::move(account)) {}

bool ReplayStore::open(std::int64_t nowMonoMs) noexcept {
    if (closed_) return false;
    if (nowMonoMs < closesMs_) return true;
    closed_ = true;
    std::deque<Held>().swap(held_);
    bytes_ = 0;
    fields_.set(0);
    return false;
}

bool ReplayStore::hold(const Notification &event, const EventBytes &bytes) noexcept {
    std::size_t fields = field_bytes(event);
    std::size_t size = fields + bytes.size();
    if (closed_ || size > window_.bytes - bytes_) return false;
    bool added = false;
    try {
        Held &h = held_.emplace_back();
        added = true;
        h.bytes = bytes;
        Notification &copy = h.event;
        copy.cls = event.cls;
        copy.publisherSubscriberId = event.publisherSubscriberId;
        copy.type = event.type;
        copy.id = event.id;
        copy.affectedComponents = event.affectedComponents;
        copy.affectedNodes = event.affectedNodes;
        copy.generatingComponent = event.generatingComponent;
        copy.generatingProcess = event.generatingProcess;
        copy.generatingNode = event.generatingNode;
        copy.instanceName = event.instanceName;
        copy.localOnly = event.localOnly;
        copy.properties = event.properties;
        copy.streamKey = event.streamKey;
        copy.creationMs = event.creationMs;
    } catch (const std::bad_alloc &) {
        // Not held rather than half held: an event a filter would judge on
        // part of its fields must not be replayed.
        if (added) held_.pop_back();
        return false;
    }
    bytes_ += size;
    fields_.set(fields_.get() + fields);
    return true;
}

}  // namespace vavevard
