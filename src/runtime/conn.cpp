#include "runtime/conn.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "port/diag.h"
#include "port/memory.h"

namespace vavevar {
namespace {

bool is_open(const lumo_conn *conn) { return conn->open.load(std::memory_order_acquire) != 0; }

// Sends every byte or fails. A blocking send may return early when a signal
// arrives mid-way; completing it keeps a message from being cut in two, which
// the daemon could not recover from. MSG_NOSIGNAL turns a closed peer into an
// error result instead of a SIGPIPE that would end the application.
bool send_all(int socket, const char *bytes, std::size_t length) {
    while (length > 0) {
        ssize_t sent = ::send(socket, bytes, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (sent == 0) return false;
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

// One receive; an interrupted call is repeated, since it says nothing about
// the connection.
ssize_t receive(int socket, void *into, std::size_t length) {
    ssize_t got;
    do {
        got = ::recv(socket, into, length, 0);
    } while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

lumo_conn *lumo_conn_create(std::int32_t socket) noexcept {
    if (socket == -1) return nullptr;
    void *memory = lumo_malloc(sizeof(lumo_conn));
    if (memory == nullptr) return nullptr;
    auto *conn = new (memory) lumo_conn{};
    conn->buffer = static_cast<char *>(lumo_malloc(kConnBufferStep));
    if (conn->buffer == nullptr) {
        conn->~lumo_conn();
        lumo_free(memory);
        return nullptr;
    }
    conn->capacity = kConnBufferStep;
    conn->socket = socket;
    conn->open.store(1, std::memory_order_release);
    return conn;
}

void lumo_conn_free(lumo_conn *conn) noexcept {
    if (conn == nullptr) return;
    lumo_free(conn->buffer);
    conn->~lumo_conn();
    lumo_free(conn);
}

int lumo_conn_write(lumo_conn *conn, const void *bytes, std::uint32_t length) noexcept {
    if (!is_open(conn)) return 0;
    if (conn->capacity - conn->end >= length) {
        std::memcpy(conn->buffer + conn->end, bytes, length);
        conn->end += length;
        return 1;
    }
    std::uint32_t gathered = conn->end;
    conn->start = conn->end = 0;
    if (gathered > 0 && !send_all(conn->socket, conn->buffer, gathered)) return 0;
    if (length > conn->capacity)
        return send_all(conn->socket, static_cast<const char *>(bytes), length) ? 1 : 0;
    std::memcpy(conn->buffer, bytes, length);
    conn->end = length;
    return 1;
}

int lumo_conn_flush(lumo_conn *conn) noexcept {
    if (!is_open(conn)) return 0;
    std::uint32_t gathered = conn->end;
    conn->start = conn->end = 0;
    if (gathered == 0) return 1;
    return send_all(conn->socket, conn->buffer, gathered) ? 1 : 0;
}

int lumo_conn_readline(lumo_conn *conn, char **line) noexcept {
    if (!is_open(conn)) return 0;
    std::uint32_t scanned = conn->start;  // bytes before this hold no LF
    for (;;) {
        auto *lf = static_cast<char *>(
            std::memchr(conn->buffer + scanned, '\n', conn->end - scanned));
        if (lf != nullptr) {
            std::uint32_t p = static_cast<std::uint32_t>(lf - conn->buffer);
            if (p > conn->start && conn->buffer[p - 1] == '\r')
                conn->buffer[p - 1] = '\0';
            else
                *lf = '\0';
            *line = conn->buffer + conn->start;
            conn->start = p + 1;
            return 1;
        }
        if (!is_open(conn)) return 0;
        if (conn->start >= conn->end) {
            conn->start = conn->end = 0;
        } else if (conn->start > 0) {
            std::memmove(conn->buffer, conn->buffer + conn->start, conn->end - conn->start);
            conn->end -= conn->start;
            conn->start = 0;
        }
        if (conn->end == conn->capacity) {
            if (conn->capacity > UINT32_MAX - kConnBufferStep) return 0;
            auto *grown = static_cast<char *>(
                lumo_realloc(conn->buffer, std::size_t{conn->capacity} + kConnBufferStep));
            if (grown == nullptr) return 0;
            conn->buffer = grown;
            conn->capacity += kConnBufferStep;
        }
        scanned = conn->end;
        ssize_t got = receive(conn->socket, conn->buffer + conn->end, conn->capacity - conn->end);
        if (got <= 0) return 0;
        conn->end += static_cast<std::uint32_t>(got);
    }
}

int lumo_conn_skip(lumo_conn *conn, std::uint32_t count) noexcept {
    for (;;) {
        if (!is_open(conn)) return 0;
        std::uint32_t buffered = conn->end - conn->start;
        if (buffered >= count) {
            conn->start += count;
            return 1;
        }
        count -= buffered;
        conn->start = conn->end = 0;
        ssize_t got = receive(conn->socket, conn->buffer, conn->capacity);
        if (got <= 0) return 0;
        conn->end = static_cast<std::uint32_t>(got);
    }
}

int lumo_conn_read(lumo_conn *conn, void *destination, std::uint32_t count) noexcept {
    if (!is_open(conn)) return 0;
    auto *into = static_cast<char *>(destination);
    std::uint32_t buffered = conn->end - conn->start;
    if (buffered >= count) {
        std::memcpy(into, conn->buffer + conn->start, count);
        conn->start += count;
        return 1;
    }
    std::memcpy(into, conn->buffer + conn->start, buffered);
    conn->start = conn->end = 0;
    into += buffered;
    std::uint32_t missing = count - buffered;
    while (missing > 0) {
        ssize_t got = receive(conn->socket, into, missing);
        if (got <= 0) {
            lumo_log("READ LESS THAN THE FULL BUFFER, ret=%d, len=%d\n", static_cast<int>(got),
                     static_cast<int>(missing));
            return 0;
        }
        into += got;
        missing -= static_cast<std::uint32_t>(got);
    }
    return 1;
}

std::int32_t lumo_conn_socket(const lumo_conn *conn) noexcept { return conn->socket; }

void lumo_conn_invalidate(lumo_conn *conn) noexcept {
    if (conn != nullptr) conn->open.store(0, std::memory_order_release);
}

}  // namespace vavevar
