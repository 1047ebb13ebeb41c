#include "runtime/conn.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <new>

#include "port/memory.h"

namespace vavevar {
namespace {

bool is_open(const lumo_conn *conn) { return conn->open.load(std::memory_order_acquire) != 0; }

}  // namespace

lumo_conn *lumo_conn_create(std::int32_t socket) noexcept {
    if (socket == -1) return nullptr;
    void *memory = lumo_malloc(sizeof(lumo_conn));
    if (memory == nullptr) return nullptr;
    auto *conn = new (memory) lumo_conn{};
    conn->socket = socket;
    conn->open.store(1, std::memory_order_release);
    return conn;
}

void lumo_conn_free(lumo_conn *conn) noexcept {
    if (conn == nullptr) return;
    conn->~lumo_conn();
    lumo_free(conn);
}

// A blocking send may return early when a signal arrives mid-way; completing
// it keeps a message from being cut in two, which the daemon could not
// recover from. MSG_NOSIGNAL turns a closed peer into an error result instead
// of a SIGPIPE that would end the application.
bool lumo_conn_send(lumo_conn *conn, const void *bytes, std::size_t length,
                    std::size_t *handed) noexcept {
    const auto *first = static_cast<const char *>(bytes);
    const char *next = first;
    auto result = [&](bool all) {
        if (handed != nullptr) *handed = static_cast<std::size_t>(next - first);
        return all;
    };
    if (!is_open(conn)) return result(false);
    while (length > 0) {
        ssize_t sent = ::send(conn->socket, next, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return result(false);
        }
        if (sent == 0) return result(false);
        next += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return result(true);
}

// An interrupted receive is repeated, since it says nothing about the
// connection.
std::int64_t lumo_conn_receive(lumo_conn *conn, void *into, std::size_t length) noexcept {
    ssize_t got;
    do {
        if (!is_open(conn)) return -1;
        got = ::recv(conn->socket, into, length, 0);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : got;
}

std::int32_t lumo_conn_socket(const lumo_conn *conn) noexcept { return conn->socket; }

void lumo_conn_invalidate(lumo_conn *conn) noexcept {
    if (conn != nullptr) conn->open.store(0, std::memory_order_release);
}

}  // namespace vavevar
