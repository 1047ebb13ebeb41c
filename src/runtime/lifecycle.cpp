#include "runtime/lifecycle.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "port/decimal.h"
#include "port/diag.h"
#include "port/global_mutex.h"
#include "port/memory.h"
#include "port/thread.h"
#include "runtime/daemon_owner.h"
#include "runtime/inbound_sink.h"
#include "runtime/link.h"
#include "runtime/process_counters.h"
#include "runtime/receiver.h"
#include "runtime/runtime_state.h"
#include "runtime/send_budget.h"
#include "runtime/sender.h"
#include "runtime/startup.h"

namespace vavevar {
namespace {

constexpr std::int32_t kInstanceNameWaitMs = 10000;

std::atomic<const char *> g_global_mutex_dir{nullptr};

bool take_global(GlobalMutex &global) { return global.take(g_global_mutex_dir.load()); }

const char *non_empty_env(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// Both are looked up, and both reported, before either is judged.
bool configure(const char *&home, std::uint16_t &port) {
    if (home == nullptr) {
        home = non_empty_env("TAMRIX_CONFIG_HOME");
        if (home == nullptr) home = non_empty_env("TAMRIX_HOME");
        if (home == nullptr) lumo_log("TAMRIX_HOME is not set\n");
    }
    if (port == 0) {
        const char *text = std::getenv("TAMRIX_LUMO_PROXY_PORT");
        if (text == nullptr) {
            lumo_log("TAMRIX_LUMO_PROXY_PORT: not set\n");
        } else {
            std::int32_t value = lumo_wire_atoi(text);
            if (value <= 0)
                lumo_log("TAMRIX_LUMO_PROXY_PORT: invalid value: %s\n", text);
            else
                port = static_cast<std::uint16_t>(value & 0xFFFF);
        }
    }
    return home != nullptr && port != 0;
}

// A whole decimal number from the environment, or `fallback` when it is not
// set; a value that is not one is reported and ignored.
std::uint64_t env_number(const char *name, std::uint64_t fallback, std::uint64_t max) {
    const char *text = non_empty_env(name);
    if (text == nullptr) return fallback;
    char *end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value > max) {
        lumo_log("%s: invalid value: %s\n", name, text);
        return fallback;
    }
    return value;
}

// The send queue's bound and a publisher's wait for room, for this runtime.
void configure_send_budget() {
    std::uint64_t max_bytes =
        env_number("VAVEVAR_SEND_MAX_BYTES", kSendMaxBytesDefault, UINT64_MAX / 2);
    if (max_bytes == 0) {
        lumo_log("VAVEVAR_SEND_MAX_BYTES: invalid value: 0\n");
        max_bytes = kSendMaxBytesDefault;
    }
    const auto wait_ms =
        static_cast<std::uint32_t>(env_number("VAVEVAR_SEND_WAIT_MS", kSendWaitMsDefault, kSendWaitMsMax));
    lumo_send_budget_configure(max_bytes, wait_ms);
}

// Starts both threads and waits until they report. False when a thread could
// not be started; the one that did start is stopped again.
bool start_threads(lumo_runtime *rt, std::uint32_t daemon_uid) {
    lumo_startup record;
    if (!lumo_startup_init(&record, rt->port, daemon_uid)) return false;
    rt->receiver_thread = vavevar::lumox_win32_thread_createattached(lumo_receiver_main, &record);
    if (rt->receiver_thread == nullptr) {
        lumo_startup_destroy(&record);
        return false;
    }
    lumo_startup_wait(&record, &lumo_startup::receiver_started);
    rt->sender_thread = vavevar::lumox_win32_thread_createattached(lumo_sender_main, &record);
    if (rt->sender_thread == nullptr) {
        // The receiver waits for the sender's report before it lets go of
        // the record; give it that report so that it can be stopped.
        lumo_startup_sender_ready(&record);
        lumo_startup_wait(&record, &lumo_startup::both_ready);
        lumo_startup_destroy(&record);
        lumo_link_close();
        vavevar::lumox_win32_thread_join(rt->receiver_thread, nullptr);
        rt->receiver_thread = nullptr;
        return false;
    }
    lumo_startup_wait(&record, &lumo_startup::both_ready);
    lumo_startup_destroy(&record);
    return true;
}

}  // namespace

std::int32_t lumo_runtime_start(const char *home, std::int32_t port_arg) noexcept {
    std::int32_t pid = static_cast<std::int32_t>(::getpid());
    auto port = static_cast<std::uint16_t>(port_arg & 0xFFFF);
    if (!configure(home, port)) return kInitNoConfig;

    GlobalMutex global;
    if (!take_global(global)) return kInitNoResources;

    if (lumo_runtime *existing = lumo_runtime_current()) {
        if (existing->pid == pid) {
            existing->ref_count += 1;
            return kInitAlready;
        }
        // Inherited from the parent of a fork: its threads are not ours.
        lumo_runtime_set_current(nullptr);
        lumo_runtime_free(existing);
    }

    if (!lumo_link_prepare() || !lumo_sender_prepare()) return kInitNoResources;
    lumo_runtime *rt = lumo_runtime_create(home, port, pid);
    if (rt == nullptr) return kInitNoResources;
    configure_send_budget();
    const std::uint32_t daemon_uid = lumo_daemon_expected_uid(home);
    lumo_counters_reset();
    lumo_runtime_set_current(rt);
    if (!start_threads(rt, daemon_uid)) {
        lumo_runtime_set_current(nullptr);
        lumo_runtime_free(rt);
        return kInitNoResources;
    }
    return kInitOk;
}

void lumo_runtime_stop(std::int32_t wait) noexcept {
    // Without a start in this process there is nothing to wait for: not even
    // the machine-wide mutex, which another process may hold for seconds.
    // A state built by another process (inherited through fork) has no
    // threads here to stop; the next start discards it.
    std::int32_t pid = static_cast<std::int32_t>(::getpid());
    lumo_runtime *seen = lumo_runtime_current();
    if (seen == nullptr || seen->pid != pid) return;
    GlobalMutex global;
    if (!take_global(global)) return;
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr || rt->pid != pid) return;
    if (--rt->ref_count > 0) return;

    lumo_sender_stop(wait);
    vavevar::lumox_win32_thread_join(rt->sender_thread, nullptr);
    lumo_sender_stopped();
    lumo_link_close();
    vavevar::lumox_win32_thread_join(rt->receiver_thread, nullptr);
    lumo_runtime_set_current(nullptr);
    lumo_inbound_release_all(rt);
    lumo_runtime_free(rt);
}

void lumo_runtime_set_global_mutex_dir(const char *dir) noexcept { g_global_mutex_dir.store(dir); }

char *lumo_runtime_instance_name_copy() noexcept {
    lumo_runtime *rt = lumo_runtime_current();
    if (rt == nullptr) return nullptr;
    lumo_link_wait(kInstanceNameWaitMs);
    if (!lumo_link_is_up()) return nullptr;
    char buffer[256];
    char *heap = nullptr;
    std::size_t length = 0;
    const char *name = lumo_runtime_instance_name(rt, buffer, sizeof buffer, &heap, &length);
    if (name == nullptr) return nullptr;
    if (heap != nullptr) return heap;
    return lumo_strdup(name);
}

}  // namespace vavevar
