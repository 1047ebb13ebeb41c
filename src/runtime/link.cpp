#include "runtime/link.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "port/cond.h"
#include "port/cond_alloc.h"
#include "port/lock.h"
#include "port/socket_options.h"
#include "runtime/flow_observer.h"
#include "runtime/process_counters.h"
#include "vavevar.h"

namespace vavevar {
namespace {

struct LinkState {
    // Written before the lock is taken and read with or without it.
    std::atomic<std::int32_t> exiting{0};
    std::atomic<std::int32_t> stop_wait{0};
    Lock *lock = nullptr;
    lumox_win32_cond_t *cond = nullptr;
    std::int32_t socket LUMO_GUARDED_BY(lock) = -1;
    std::int32_t connected LUMO_GUARDED_BY(lock) = 0;
    std::int32_t waiters LUMO_GUARDED_BY(lock) = 0;
};

LinkState g_link;
std::once_flag g_link_once;

}  // namespace

bool lumo_link_prepare() noexcept {
    std::call_once(g_link_once, [] {
        g_link.lock = lumo_lock_create();
        g_link.cond = lumo_cond_create();
    });
    return g_link.lock != nullptr && g_link.cond != nullptr;
}

void lumo_link_reset() noexcept {
    LockGuard guard(g_link.lock);
    g_link.exiting.store(0);
    g_link.stop_wait.store(0);
    g_link.socket = -1;
    g_link.connected = 0;
}

namespace {

// Waits as lumo_link_wait does; returns with the link lock held.
std::int32_t wait_locked(std::int32_t timeout_ms) noexcept LUMO_REQUIRES(g_link.lock) {
    auto released = [] { return g_link.exiting.load() || g_link.stop_wait.load(); };
    if (!released() && !g_link.connected) {
        g_link.waiters += 1;
        if (timeout_ms > 0) {
            vavevar::lumox_win32_cond_timedwait(g_link.cond, g_link.lock->native(),
                                                static_cast<std::uint32_t>(timeout_ms));
        } else {
            while (!released() && !g_link.connected)
                vavevar::lumox_win32_cond_wait(g_link.cond, g_link.lock->native());
        }
        g_link.waiters -= 1;
    }
    return g_link.connected ? g_link.socket : -1;
}

}  // namespace

std::int32_t lumo_link_wait(std::int32_t timeout_ms) noexcept {
    if (!lumo_link_prepare()) return -1;
    LockGuard guard(g_link.lock);
    return wait_locked(timeout_ms);
}

std::int32_t lumo_link_wait_dup(std::int32_t timeout_ms) noexcept {
    if (!lumo_link_prepare()) return -1;
    LockGuard guard(g_link.lock);
    std::int32_t socket = wait_locked(timeout_ms);
    // Under the lock the socket is still open: the receiver takes it here first.
    return socket != -1 ? ::fcntl(socket, F_DUPFD_CLOEXEC, 0) : -1;
}

bool lumo_link_is_up() noexcept {
    if (!lumo_link_prepare()) return false;
    LockGuard guard(g_link.lock);
    return g_link.connected && !g_link.exiting.load();
}

bool lumo_link_exiting() noexcept { return g_link.exiting.load() != 0; }

bool lumo_link_pause(std::uint32_t ms) noexcept {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    // lumo_link_close marks the link exiting before it takes the lock and
    // broadcasts under it: seen here under the lock, or the broadcast finds
    // this thread already waiting.
    LockGuard guard(g_link.lock);
    for (;;) {
        if (g_link.exiting.load()) return false;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return true;
        vavevar::lumox_win32_cond_timedwait(g_link.cond, g_link.lock->native(),
                                            static_cast<std::uint32_t>(left));
    }
}

void lumo_link_close() noexcept {
    if (!lumo_link_prepare()) return;
    g_link.exiting.store(1);
    // Shut down, not closed: the receiver may be about to read from the
    // socket, and a closed number can be reused by anything the application
    // opens. Shut down, a connect or read in progress or to come fails at
    // once; the receiver closes it.
    LockGuard guard(g_link.lock);
    if (g_link.socket != -1) ::shutdown(g_link.socket, SHUT_RDWR);
    g_link.connected = 0;
    vavevar::lumox_win32_cond_broadcast(g_link.cond);
}

void lumo_link_release_waiters() noexcept {
    if (!lumo_link_prepare()) return;
    g_link.stop_wait.store(1);
    LockGuard guard(g_link.lock);
    if (g_link.waiters != 0) vavevar::lumox_win32_cond_broadcast(g_link.cond);
}

void lumo_link_abort() noexcept {
    if (!lumo_link_prepare()) return;
    // Under the lock the socket cannot be closed and its number reused.
    LockGuard guard(g_link.lock);
    if (g_link.socket != -1) ::shutdown(g_link.socket, SHUT_RDWR);
}

bool lumo_link_set_socket(std::int32_t socket) noexcept {
    // lumo_link_close marks the link exiting before it takes the lock, so
    // either it finds this socket here and shuts it down, or this sees the mark.
    LockGuard guard(g_link.lock);
    if (g_link.exiting.load()) return false;
    g_link.socket = socket;
    return true;
}

bool lumo_link_set_connected() noexcept {
    {
        // Never up again once the stop has marked the link exiting.
        LockGuard guard(g_link.lock);
        if (g_link.exiting.load()) return false;
        g_link.connected = 1;
        if (g_link.waiters != 0) vavevar::lumox_win32_cond_broadcast(g_link.cond);
    }
    // The first handshake of a runtime is its start, not a return.
    if (lumo_counters_count_handshake() > 1) flow_observe(LUMO_FLOW_LINK_UP, 1);
    return true;
}

std::int32_t lumo_link_take_socket() noexcept {
    std::int32_t socket;
    bool lost;
    {
        LockGuard guard(g_link.lock);
        socket = g_link.socket;
        // A stop clears `connected` itself: the link is shut, not lost.
        lost = g_link.connected != 0 && !g_link.exiting.load();
        g_link.socket = -1;
        g_link.connected = 0;
    }
    if (lost) flow_observe(LUMO_FLOW_LINK_DOWN, 1);
    return socket;
}

void lumo_link_close_socket(std::int32_t socket) noexcept {
    // The socket lingers 900 s while open; closing must not wait on a daemon
    // that stopped reading, so lingering is switched off first. Data already
    // queued is still delivered in the background.
    lumo_socket_linger(socket, 0);
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

}  // namespace vavevar
