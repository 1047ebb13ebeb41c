#include "pubsub/flow_limits.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "notification/notification.h"

namespace vavevar {
namespace {

// Written at start-up, read by every subscriber creation and by the
// callback pool; each is read on its own, so a relaxed pair is enough.
std::atomic<std::int64_t> g_sub_max_messages{kDefaultSubMaxMessages};
std::atomic<std::int64_t> g_sub_max_bytes{kDefaultSubMaxBytes};
std::atomic<std::int32_t> g_callback_threads{kDefaultCallbackThreads};

std::int64_t from_environment(const char *name, std::int64_t fallback, std::int64_t ceiling) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1) return fallback;
    return value > ceiling ? ceiling : value;
}

}  // namespace

void lumo_flow_limits_load() noexcept {
    g_sub_max_messages.store(from_environment("VAVEVAR_SUB_MAX_MESSAGES", kDefaultSubMaxMessages, INT64_MAX));
    g_sub_max_bytes.store(from_environment("VAVEVAR_SUB_MAX_BYTES", kDefaultSubMaxBytes, INT64_MAX));
    g_callback_threads.store(static_cast<std::int32_t>(
        from_environment("VAVEVAR_CALLBACK_THREADS", kDefaultCallbackThreads, 4096)));
}

FlowLimits lumo_flow_limits() noexcept {
    return FlowLimits{g_sub_max_messages.load(), g_sub_max_bytes.load(), g_callback_threads.load()};
}

std::int64_t lumo_notification_charge(const lumo_notification *n) noexcept {
    std::int64_t bytes = static_cast<std::int64_t>(n->blockSize) + n->stampBlockSize;
    if (bytes < static_cast<std::int64_t>(sizeof *n)) bytes = sizeof *n;
    if (n->body != nullptr && n->bodyLength > 0) {
        // A received body usually lives in the record's block, already counted.
        const auto at = reinterpret_cast<std::uintptr_t>(n->body);
        const auto start = reinterpret_cast<std::uintptr_t>(n);
        if (at < start || at >= start + n->blockSize) bytes += n->bodyLength;
    }
    return bytes;
}

}  // namespace vavevar
