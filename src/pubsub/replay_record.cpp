#include "pubsub/replay_record.h"

#include <cstring>
#include <new>

#include "notification/notification.h"
#include "port/memory.h"

namespace vavevar {
namespace {

constexpr std::uint32_t kMask = ReplayRecord::kRecordCapacity - 1;
static_assert((ReplayRecord::kRecordCapacity & kMask) == 0);

std::uint64_t mix(std::uint64_t hash, const char *text) {
    // FNV-1a, with the terminating NUL so that "ab"+"c" differs from "a"+"bc".
    for (const char *p = text;; ++p) {
        hash ^= static_cast<unsigned char>(*p);
        hash *= 0x100000001b3ULL;
        if (*p == '\0') return hash;
    }
}

}  // namespace

ReplayRecord *ReplayRecord::create() noexcept {
    void *memory = lumo_malloc(sizeof(ReplayRecord));
    if (memory == nullptr) return nullptr;
    auto *record = new (memory) ReplayRecord;
    std::memset(record->newer_, 0, sizeof record->newer_);
    std::memset(record->older_, 0, sizeof record->older_);
    return record;
}

void ReplayRecord::destroy(ReplayRecord *record) noexcept {
    if (record == nullptr) return;
    record->~ReplayRecord();
    lumo_free(record);
}

std::uint64_t ReplayRecord::key_of(const lumo_notification *n) noexcept {
    if (n->generatingProcess == nullptr && n->id == nullptr) return 0;
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    hash = mix(hash, n->generatingProcess != nullptr ? n->generatingProcess : "");
    hash = mix(hash, n->id != nullptr ? n->id : "");
    return hash != 0 ? hash : 1;  // 0 marks an empty slot
}

bool ReplayRecord::find(const std::uint64_t *table, std::uint64_t key) noexcept {
    // Tables are never more than half full, so an empty slot ends every probe.
    for (std::uint32_t slot = static_cast<std::uint32_t>(key) & kMask;; slot = (slot + 1) & kMask) {
        if (table[slot] == key) return true;
        if (table[slot] == 0) return false;
    }
}

bool ReplayRecord::contains(std::uint64_t key) const noexcept {
    return key != 0 && (find(newer_, key) || find(older_, key));
}

void ReplayRecord::add(std::uint64_t key) noexcept {
    if (key == 0 || find(newer_, key)) return;
    if (newerCount_ == kRecordCapacity / 2) {
        std::memcpy(older_, newer_, sizeof older_);
        std::memset(newer_, 0, sizeof newer_);
        newerCount_ = 0;
    }
    std::uint32_t slot = static_cast<std::uint32_t>(key) & kMask;
    while (newer_[slot] != 0) slot = (slot + 1) & kMask;
    newer_[slot] = key;
    ++newerCount_;
}

}  // namespace vavevar
