#include "runtime/runtime_state.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port/cond_alloc.h"
#include "port/decimal.h"
#include "port/diag.h"
#include "port/memory.h"

namespace vavevar {
namespace {

// Read by every thread without a lock; set and cleared under the
// machine-wide mutex.
std::atomic<lumo_runtime *> g_runtime{nullptr};

constexpr std::size_t kHostNameBuffer = 513;
constexpr char kUnknownHost[] = "UNKNOWNHOST";

char *host_name() {
    char name[kHostNameBuffer];
    if (::gethostname(name, sizeof name) != 0) return lumo_strdup(kUnknownHost);
    name[sizeof name - 1] = '\0';
    return lumo_strdup(name);
}

std::int64_t thread_stack_size() {
    const char *text = std::getenv("TAMRIX_THREAD_STACKSIZE");
    if (text == nullptr) return 0;
    std::int32_t value = lumo_wire_atoi(text);
    return value >= 0 ? value : 0;
}

}  // namespace

lumo_runtime *lumo_runtime_current() noexcept { return g_runtime.load(std::memory_order_acquire); }

void lumo_runtime_set_current(lumo_runtime *runtime) noexcept {
    g_runtime.store(runtime, std::memory_order_release);
}

// Nothing else sees the record until it is made current, so no lock is needed.
lumo_runtime *lumo_runtime_create(const char *home, std::uint16_t port, std::int32_t pid) noexcept
    LUMO_NO_THREAD_SAFETY_ANALYSIS {
    auto *rt = static_cast<lumo_runtime *>(lumo_malloc(sizeof(lumo_runtime)));
    if (rt == nullptr) return nullptr;
    std::memset(static_cast<void *>(rt), 0, sizeof *rt);
    rt->home = lumo_strdup(home);
    rt->home_len = rt->home != nullptr ? std::strlen(rt->home) : 0;
    rt->pid = pid;
    rt->lock = lumo_lock_create();
    rt->cond = lumo_cond_create();
    rt->subscribers = static_cast<lumo_subscriber **>(
        lumo_malloc(kRegistryStep * sizeof(lumo_subscriber *)));
    rt->publishers = static_cast<lumo_publisher **>(
        lumo_malloc(kRegistryStep * sizeof(lumo_publisher *)));
    rt->host_name = host_name();
    if (rt->host_name != nullptr) {
        std::size_t size = std::strlen(rt->host_name) + 12;
        rt->self_id = static_cast<char *>(lumo_malloc(size));
        if (rt->self_id != nullptr) std::snprintf(rt->self_id, size, "%s:%d", rt->host_name, pid);
    }
    if (rt->home == nullptr || rt->lock == nullptr || rt->cond == nullptr ||
        rt->subscribers == nullptr || rt->publishers == nullptr || rt->self_id == nullptr) {
        lumo_runtime_free(rt);
        return nullptr;
    }
    std::memset(rt->subscribers, 0, kRegistryStep * sizeof(lumo_subscriber *));
    std::memset(rt->publishers, 0, kRegistryStep * sizeof(lumo_publisher *));
    rt->subscriber_capacity = kRegistryStep;
    rt->publisher_capacity = kRegistryStep;
    rt->port = port;
    rt->ref_count = 1;
    rt->thread_stack_size = thread_stack_size();
    return rt;
}

void lumo_runtime_free(lumo_runtime *rt) noexcept LUMO_NO_THREAD_SAFETY_ANALYSIS {
    if (rt == nullptr) return;
    lumo_free(rt->subscribers);
    lumo_free(rt->publishers);
    lumo_free(rt->self_id);
    lumo_free(rt->host_name);
    lumo_free(rt->instance_name);
    lumo_free(rt->home);
    lumo_cond_free(rt->cond);
    lumo_lock_destroy(rt->lock);
    lumo_free(rt);
}

void lumo_runtime_set_instance_name(lumo_runtime *rt, const char *name) noexcept {
    char *copy = lumo_strdup(name);
    LockGuard guard(rt->lock);
    lumo_free(rt->instance_name);
    rt->instance_name = copy;
    rt->instance_name_len = copy != nullptr ? std::strlen(copy) : 0;
}

const char *lumo_runtime_instance_name(lumo_runtime *rt, char *buffer, std::size_t size,
                                       char **heap, std::size_t *length) noexcept {
    *heap = nullptr;
    *length = 0;
    if (rt == nullptr) return nullptr;
    LockGuard guard(rt->lock);
    if (rt->instance_name == nullptr) return nullptr;
    std::size_t len = rt->instance_name_len;
    char *into = buffer;
    if (len >= size) {
        into = *heap = static_cast<char *>(lumo_malloc(len + 1));
        if (into == nullptr) return nullptr;
    }
    std::memcpy(into, rt->instance_name, len + 1);
    *length = len;
    return into;
}

void lumo_fatal() noexcept {
    lumo_log("Fatal error: %s\n", "lUMO: lumoapi: " __DATE__ " " __TIME__);
    std::exit(-1);
}

}  // namespace vavevar
