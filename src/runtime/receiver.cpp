#include "runtime/receiver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "port/bytebuf.h"
#include "port/diag.h"
#include "port/memory.h"
#include "port/socket_connect.h"
#include "port/socket_options.h"
#include "runtime/conn.h"
#include "runtime/daemon_owner.h"
#include "runtime/handshake.h"
#include "runtime/inbound_parser.h"
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

// Who may be at the other end, and the refusal last reported since the last
// connection that passed: one report per cause, not one per attempt. A new
// cause is reported again: an unknown owner while the daemon was stopping,
// then another user squatting on its port, are two different stories.
struct DaemonWatch {
    std::uint32_t expected_uid;
    bool reported = false;
    DaemonPeer verdict = DaemonPeer::unknown;
    std::uint32_t owner = 0;
};

void describe(int fd, char *text, std::size_t size, unsigned &port) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    text[0] = '\0';
    port = 0;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) return;
    if (peer.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&peer);
        ::inet_ntop(AF_INET, &in->sin_addr, text, static_cast<socklen_t>(size));
        port = ntohs(in->sin_port);
    } else if (peer.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&peer);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text, static_cast<socklen_t>(size));
        port = ntohs(in6->sin6_port);
    }
}

// Whether the fresh connection `fd` reaches the daemon; nothing may be sent
// on one that does not. A refusal counts as a failed connect.
bool reaches_daemon(int fd, DaemonWatch &watch) {
    const DaemonPeerCheck check = lumo_daemon_peer_check(fd, watch.expected_uid);
    if (check.verdict == DaemonPeer::trusted || check.verdict == DaemonPeer::unchecked) {
        watch.reported = false;
        return true;
    }
    if (!watch.reported || watch.verdict != check.verdict || watch.owner != check.owner) {
        watch.reported = true;
        watch.verdict = check.verdict;
        watch.owner = check.owner;
        char where[INET6_ADDRSTRLEN];
        unsigned port = 0;
        describe(fd, where, sizeof where, port);
        if (check.verdict == DaemonPeer::impostor)
            lumo_log("Not connecting to %s port %u: it is held by uid %u, not by the daemon's user (uid %u)\n",
                     where, port, static_cast<unsigned>(check.owner), static_cast<unsigned>(watch.expected_uid));
        else
            lumo_log("Not connecting to %s port %u: the system cannot tell who holds it\n", where, port);
    }
    return false;
}

// One attempt over the whole address list; returns a connected socket,
// stored as the link's, or -1. Each socket is the link's while it connects,
// so that a stop cuts the connect short instead of waiting out the system's
// time-out on a listener that does not answer.
int connect_once(const Address *addresses, DaemonWatch &watch) {
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
        if (lumo_socket_connect(fd, address, a->length) == 0 && reaches_daemon(fd, watch)) {
            lumo_socket_keepalive(fd);
            lumo_socket_nodelay(fd);
            return fd;
        }
        lumo_link_take_socket();
        lumo_link_close_socket(fd);
        a = a->next;
    }
    return -1;
}

// Connects, pausing between failed attempts; null when the library stops first.
lumo_conn *connect_with_pauses(const Address *addresses, ConnectPause &pause, DaemonWatch &watch) {
    for (;;) {
        if (lumo_link_exiting()) return nullptr;
        int fd = connect_once(addresses, watch);
        if (fd >= 0) {
            lumo_conn *conn = lumo_conn_create(fd);
            if (conn != nullptr) return conn;
            // A connection we cannot keep a record of is of no use.
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

// Reads what the socket has into the parser's room; false when the
// connection is lost (or the room cannot be had).
bool receive(lumo_conn *conn, InboundParser &parser) {
    std::size_t room = 0;
    char *into = parser.space(&room);
    if (into == nullptr) return false;
    std::int64_t got = lumo_conn_receive(conn, into, room);
    if (got <= 0) {
        if (std::uint32_t missing = parser.body_missing(); missing > 0)
            lumo_log("READ LESS THAN THE FULL BUFFER, ret=%d, len=%d\n", static_cast<int>(got),
                     static_cast<int>(missing));
        return false;
    }
    parser.filled(static_cast<std::size_t>(got));
    return true;
}

// Writes the connect request and reads the reply up to its empty line. The
// runtime's handshake status bit is set whatever the outcome once the request
// went out. True when the reply came whole and accepted the connection.
bool handshake(lumo_conn *conn, InboundParser &parser, lumo_runtime *rt) {
    {
        ByteBuffer request;
        if (!lumo_handshake_write(rt, request) || !lumo_conn_send(conn, request.data(), request.size()))
            return false;
    }
    bool accepted = false;
    for (;;) {
        InboundMessage m;
        InboundParser::Status status = parser.next(m);
        if (status == InboundParser::Status::ready) {
            if (m.kind == InboundMessage::Kind::instance_name) {
                lumo_runtime_set_instance_name(rt, m.text);
                continue;
            }
            accepted = m.success;  // the reply's end
            break;
        }
        if (status == InboundParser::Status::failed || !receive(conn, parser)) break;
    }
    lumo_handshake_answered(rt);  // read to its end or broken off: either way, read
    return accepted;
}

// Hands one message on; false when the connection has to be given up.
bool act(InboundMessage &m) {
    switch (m.kind) {
    case InboundMessage::Kind::status:
        lumo_inbound_status(m.subscriberId, m.success ? 1 : 0, m.message);
        return true;
    case InboundMessage::Kind::event:
        if (m.idCount == 1) {
            lumo_inbound_deliver(m.notification, m.ids[0], m.replayed);
        } else {
            // Not addressed to exactly one subscriber: nobody takes it.
            lumo_notification_destroy(m.notification);
        }
        lumo_free(m.ids);
        return true;
    case InboundMessage::Kind::gap:
        lumo_inbound_gap(m.subscriberId, m.count);
        return true;
    case InboundMessage::Kind::unknown_line:
        lumo_log("UNKNOWN MESSAGE LINE RECEIVED ==> %s\n", m.text);
        return true;
    default:
        return false;  // a second connect reply cannot come: the parser is past it
    }
}

// Reads messages until the connection is lost.
void message_loop(lumo_conn *conn, InboundParser &parser) {
    for (;;) {
        InboundMessage m;
        InboundParser::Status status;
        while ((status = parser.next(m)) == InboundParser::Status::ready)
            if (!act(m)) return;
        if (status == InboundParser::Status::failed || !receive(conn, parser)) return;
    }
}

void run(Address *addresses, lumo_runtime *rt, DaemonWatch &watch) {
    bool ever_connected = false;
    ConnectPause pause;
    HandshakeBackoff backoff;
    lumo_conn *conn = nullptr;
    InboundParser parser;
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
            conn = connect_with_pauses(addresses, pause, watch);
            if (conn == nullptr) return;
            parser.restart();
            if (handshake(conn, parser, rt)) break;
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

        message_loop(conn, parser);

        drop_connection(conn);
        lumo_sender_invalidate_conn();
    }
}

}  // namespace

void lumo_receiver_main(void *arg) noexcept {
    auto *startup = static_cast<lumo_startup *>(arg);
    std::uint16_t port = startup->port;
    DaemonWatch watch{startup->daemon_uid};
    lumo_link_reset();
    lumo_startup_receiver_ready(startup);  // the record is gone after this

    lumo_runtime *rt = lumo_runtime_current();
    Address *addresses = resolve(port);
    run(addresses, rt, watch);
    free_addresses(addresses);
}

}  // namespace vavevar
