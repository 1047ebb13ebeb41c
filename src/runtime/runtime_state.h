// The runtime state: the library's one process-wide record, built by the
// first initialisation and released by the last shutdown.
//
// Every other subsystem reaches it through lumo_runtime_current(); a null
// result means the library is not initialised. The reference is set and
// cleared only while the machine-wide mutex is held.
#pragma once

#include <cstddef>
#include <cstdint>

#include "port/lock.h"
#include "port/thread_annotations.h"
#include "vavevar.h"

struct lumo_runtime {
    vavevar::Lock *lock;
    lumox_win32_cond_t *cond;  // paired with lock; broadcast after each handshake reply
    std::uint32_t status LUMO_GUARDED_BY(lock);  // bit 0: a handshake reply was read
    std::int32_t cond_waiters LUMO_GUARDED_BY(lock);
    std::int32_t subscriber_count LUMO_GUARDED_BY(lock);  // slots ever handed out
    std::int32_t publisher_count LUMO_GUARDED_BY(lock);
    std::uint32_t subscriber_capacity LUMO_GUARDED_BY(lock);
    std::uint32_t publisher_capacity LUMO_GUARDED_BY(lock);
    lumo_subscriber **subscribers LUMO_GUARDED_BY(lock);
    lumo_publisher **publishers LUMO_GUARDED_BY(lock);
    char *self_id;    // "host:pid"
    char *host_name;  // or "UNKNOWNHOST"
    // Written by the receiver at each handshake, read by the sender for every
    // event: both under lock.
    char *instance_name LUMO_GUARDED_BY(lock);
    char *home;
    std::uint64_t instance_name_len LUMO_GUARDED_BY(lock);
    std::uint64_t home_len;
    std::int64_t thread_stack_size;
    std::uint16_t port;
    lumox_win32_thread_t *receiver_thread;
    lumox_win32_thread_t *sender_thread;
    std::int32_t pid;
    std::int32_t ref_count;  // changed only under the machine-wide mutex
};

namespace vavevar {

inline constexpr std::uint32_t kRegistryStep = 10;
inline constexpr std::uint32_t kStatusHandshakeRead = 1u;

// The runtime state, or null when the library is not initialised here.
lumo_runtime *lumo_runtime_current() noexcept;

// Sets or clears the process-wide reference. REQUIRES: the machine-wide mutex.
void lumo_runtime_set_current(lumo_runtime *runtime) noexcept;

// Builds a runtime state for `home` (copied), `port` and process `pid`: lock,
// condition, empty registry tables, host name, self id, thread stack size
// from the environment; reference count 1; no threads. Returns null when
// memory or a system object runs out (nothing is left allocated).
lumo_runtime *lumo_runtime_create(const char *home, std::uint16_t port, std::int32_t pid) noexcept;

// Releases the tables, texts, lock, condition and the record. Starts or stops
// no thread. Null is ignored.
void lumo_runtime_free(lumo_runtime *runtime) noexcept;

// Replaces the instance name reported by the daemon.
void lumo_runtime_set_instance_name(lumo_runtime *runtime, const char *name) noexcept;

// Copies the instance name into `buffer` (at most size-1 bytes and a NUL)
// when it fits, else into a new heap block stored in *heap (release with
// lumo_free). Returns the text and its length in *length, or null with
// length 0 when there is no name or memory runs out.
const char *lumo_runtime_instance_name(lumo_runtime *runtime, char *buffer, std::size_t size,
                                       char **heap, std::size_t *length) noexcept;

// Prints the fatal-error banner and ends the process with status -1.
[[noreturn]] void lumo_fatal() noexcept;

}  // namespace vavevar
