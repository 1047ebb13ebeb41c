#include "runtime/receiver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "notification/event_wire.h"
#include "port/diag.h"
#include "port/memory.h"
#include "port/socket_connect.h"
#include "port/socket_options.h"
#include "runtime/conn.h"
#include "runtime/control_wire.h"
#include "runtime/handshake.h"
#include "runtime/inbound_sink.h"
#include "runtime/link.h"
#include "runtime/retry_schedule.h"
#include "runtime/runtime_state.h"
#include "runtime/sender.h"
#include "runtime/startup.h"

namespace vavevar {
namespace {

// How long a close may wait for unsent data while the link is open.
constexpr std::int32_t kLingerSeconds = 900;

// The receiver's private copy of the resolved addresses, in resolver order.
struct Address {
    std::int32_t family;
    std::int32_t protocol;
    std::int32_t socktype;
    socklen_t length;
    sockaddr_storage address;
    Address *next;
};

void free_addresses(Address *list) {
    while (list != nullptr) {
        Address *next = list->next;
        lumo_free(list);
        list = next;
    }
}

// Resolves "localhost" once; the process cannot work without it.
Address *resolve(std::uint16_t port) {
    char service[8];
    std::snprintf(service, sizeof service, "%hu", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo("localhost", service, &hints, &found) != 0 || found == nullptr) {
        if (found != nullptr) ::freeaddrinfo(found);
        lumo_log("Unable to resolve address for localhost:%d\n", static_cast<int>(port));
        lumo_log("IXO runtime exiting\n");
        lumo_fatal();
    }
    Address *head = nullptr;
    Address **tail = &head;
    for (addrinfo *ai = found; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        auto *entry = static_cast<Address *>(lumo_malloc(sizeof(Address)));
        if (entry == nullptr) break;  // the entries made so far still serve
        std::memset(entry, 0, sizeof *entry);
        entry->family = ai->ai_family;
        entry->protocol = ai->ai_protocol;
        entry->socktype = ai->ai_socktype;
        entry->length = ai->ai_addrlen;
        std::memcpy(&entry->address, ai->ai_addr, ai->ai_addrlen);
        *tail = entry;
        tail = &entry->next;
    }
    ::freeaddrinfo(found);
    return head;
}

// One attempt over the whole address list; returns a connected socket,
// stored as the link's, or -1. Each socket is the link's while it connects,
// so that a stop cuts the connect short instead of waiting out the system's
// time-out on a listener that does not answer.
int connect_once(const Address *addresses) {
    for (const Address *a = addresses; a != nullptr;) {
        int fd = ::socket(a->family, a->socktype | SOCK_CLOEXEC, a->protocol);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        lumo_socket_linger(fd, kLingerSeconds);
        if (!lumo_link_set_socket(fd)) {
            // Stopping: nobody else will close it.
            lumo_link_close_socket(fd);
            return -1;
        }
        const auto *address = reinterpret_cast<const sockaddr *>(&a->address);
        if (lumo_socket_connect(fd, address, a->length) == 0) {
            lumo_socket_keepalive(fd);
            return fd;
        }
        lumo_link_take_socket();
        lumo_link_close_socket(fd);
        a = a->next;
    }
    return -1;
}

// Connects, pausing between failed attempts; null when the library stops first.
lumo_conn *connect_with_pauses(const Address *addresses, ConnectPause &pause) {
    for (;;) {
        if (lumo_link_exiting()) return nullptr;
        int fd = connect_once(addresses);
        if (fd >= 0) {
            lumo_conn *conn = lumo_conn_create(fd);
            if (conn != nullptr) return conn;
            // A connection we cannot buffer is of no use.
            lumo_link_take_socket();
            lumo_link_close_socket(fd);
        }
        if (!lumo_link_pause(pause.after_failure())) return nullptr;
    }
}

void drop_connection(lumo_conn *&conn) {
    std::int32_t socket = lumo_link_take_socket();
    if (socket != -1) lumo_link_close_socket(socket);
    lumo_conn_free(conn);
    conn = nullptr;
}

// "name: value" with the value from the second character after the colon.
bool split_header(char *line, const char **name, const char **value) {
    char *colon = std::strchr(line, ':');
    if (colon == nullptr) return false;
    *colon = '\0';
    *name = line;
    *value = colon[1] != '\0' ? colon + 2 : "";
    return true;
}

// Returns false when the connection has to be given up.
bool handle_status(lumo_conn *conn) {
    bool success = false;
    bool have_id = false;
    std::int32_t id = 0;
    char *message = nullptr;
    for (int number = 1;; ++number) {
        char *line = nullptr;
        if (!lumo_conn_readline(conn, &line) || (number == 1 && *line == '\0')) {
            lumo_free(message);
            return false;
        }
        if (*line == '\0') break;
        const char *name;
        const char *value;
        if (!split_header(line, &name, &value)) continue;
        const std::string_view header = name;
        if (header == wire::name_of(wire::kResult)) {
            success = value == wire::kSuccess;
        } else if (header == wire::name_of(wire::kSubscriberId)) {
            id = lumo_wire_atoi(value);
            have_id = true;
        } else if (header == wire::name_of(wire::kMessage)) {
            lumo_free(message);
            message = *value != '\0' ? lumo_strdup(value) : nullptr;
        }
    }
    if (!have_id) {
        lumo_free(message);
        return false;
    }
    lumo_inbound_status(id, success ? 1 : 0, message);
    return true;
}

bool handle_event(lumo_conn *conn) {
    std::int32_t *ids = nullptr;
    std::int32_t count = 0;
    lumo_notification *n = lumo_event_read(conn, &ids, &count);
    bool ok = n != nullptr && ids != nullptr;
    if (ok && count == 1) {
        lumo_inbound_deliver(n, ids[0]);
    } else {
        // Not addressed to exactly one subscriber: nobody takes it.
        lumo_notification_destroy(n);
    }
    lumo_free(ids);
    return ok;
}

// Reads messages until the connection is lost.
void message_loop(lumo_conn *conn) {
    for (;;) {
        char *line = nullptr;
        if (!lumo_conn_readline(conn, &line)) return;
        const char *word = std::strlen(line) >= 6 ? line + 6 : nullptr;
        if (word != nullptr && std::strncmp(word, "event", 5) == 0) {
            if (!handle_event(conn)) return;
        } else if (word != nullptr && std::strncmp(word, "status", 6) == 0) {
            if (!handle_status(conn)) return;
        } else {
            lumo_log("UNKNOWN MESSAGE LINE RECEIVED ==> %s\n", line);
        }
    }
}

void run(Address *addresses, lumo_runtime *rt) {
    bool ever_connected = false;
    ConnectPause pause;
    HandshakeBackoff backoff;
    lumo_conn *conn = nullptr;
    for (;;) {
        if (ever_connected) {
            if (lumo_link_exiting()) return;
            lumo_inbound_link_lost();
        }
        if (!lumo_link_exiting()) {
            pause = ConnectPause{};
            backoff = HandshakeBackoff{};
        }
        for (;;) {
            conn = connect_with_pauses(addresses, pause);
            if (conn == nullptr) return;
            if (lumo_handshake(conn, rt)) break;
            drop_connection(conn);
            if (!lumo_link_pause(backoff.after_failure_ms())) return;
        }
        backoff.succeeded();
        if (lumo_link_exiting()) {
            drop_connection(conn);
            return;
        }
        if (ever_connected) lumo_inbound_link_restored();
        if (!lumo_link_set_connected()) {
            drop_connection(conn);
            return;
        }
        ever_connected = true;

        message_loop(conn);

        drop_connection(conn);
        lumo_sender_invalidate_conn();
    }
}

}  // namespace

void lumo_receiver_main(void *arg) noexcept {
    auto *startup = static_cast<lumo_startup *>(arg);
    std::uint16_t port = startup->port;
    lumo_link_reset();
    lumo_startup_receiver_ready(startup);  // the record is gone after this

    lumo_runtime *rt = lumo_runtime_current();
    Address *addresses = resolve(port);
    run(addresses, rt);
    free_addresses(addresses);
}

}  // namespace vavevar
