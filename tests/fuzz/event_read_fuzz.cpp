// Feeds arbitrary bytes to the inbound event reader through a real socket,
// as the receiver would meet them after an "event" message line. Every read
// must fail cleanly or build a notification; nothing may leak or overrun.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "notification/event_wire.h"
#include "port/memory.h"
#include "runtime/conn.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    // Inputs are kept small (-max_len), so they fit the socket's buffer.
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fds[1], data + done, size - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
    lumo_conn *conn = vavevar::lumo_conn_create(fds[0]);
    for (int events = 0; conn != nullptr && events < 64; ++events) {
        std::int32_t *ids = nullptr;
        std::int32_t count = 0;
        lumo_notification *n = vavevar::lumo_event_read(conn, &ids, &count);
        for (std::int32_t i = 0; ids != nullptr && i < count; ++i) (void)ids[i];
        vavevar::lumo_free(ids);
        if (n == nullptr) break;
        vavevar::lumo_notification_destroy(n);
    }
    vavevar::lumo_conn_free(conn);
    ::close(fds[0]);
    return 0;
}
