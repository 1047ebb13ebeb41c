#include "runtime/handshake.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "notification/event_wire.h"
#include "port/cond.h"
#include "port/memory.h"
#include "runtime/conn.h"
#include "runtime/control_wire.h"
#include "runtime/runtime_state.h"

namespace vavevar {
namespace {

constexpr char kFormFactorPath[] = "/lumo/conf/.formfactor";
constexpr char kDefaultFormFactor[] = "abc";

char *read_whole_file(const char *path, std::size_t *length) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    char *bytes = nullptr;
    if (::fstat(fd, &info) == 0 && info.st_size >= 0) {
        auto size = static_cast<std::size_t>(info.st_size);
        bytes = static_cast<char *>(lumo_malloc(size + 1));
        std::size_t done = 0;
        while (bytes != nullptr && done < size) {
            ssize_t got = ::read(fd, bytes + done, size - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;  // the file shrank: send what it held
            done += static_cast<std::size_t>(got);
        }
        if (bytes != nullptr) {
            bytes[done] = '\0';
            *length = done;
        }
    }
    ::close(fd);
    return bytes;
}

bool write_text(lumo_conn *conn, std::string_view text) {
    return text.empty() || lumo_conn_write(conn, text.data(), static_cast<std::uint32_t>(text.size())) != 0;
}

bool write_request(lumo_conn *conn, lumo_runtime *rt) {
    std::size_t ff_length = 0;
    char *form_factor = lumo_handshake_form_factor(rt->home, &ff_length);
    char pid[32];
    int pid_length = std::snprintf(pid, sizeof pid, "Pid=%d; Home=", rt->pid);
    // The blank behind the version number is part of what daemons expect.
    static constexpr std::string_view kProtocolVersion = "4 ";
    bool ok = form_factor != nullptr && write_text(conn, wire::kConnectLine) &&
              write_text(conn, wire::kVersion) && write_text(conn, kProtocolVersion) &&
              write_text(conn, wire::kLineEnd) && write_text(conn, wire::kFormFactor) &&
              write_text(conn, {form_factor, ff_length}) && write_text(conn, wire::kLineEnd) &&
              write_text(conn, wire::kSelfId) &&
              write_text(conn, {pid, static_cast<std::size_t>(pid_length)}) &&
              write_text(conn, {rt->home, rt->home_len}) && write_text(conn, wire::kLineEnd) &&
              write_text(conn, wire::kLineEnd) && lumo_conn_flush(conn) != 0;
    lumo_free(form_factor);
    return ok;
}

// Reads reply lines until the empty line; false when a read fails first.
bool read_reply(lumo_conn *conn, lumo_runtime *rt, bool *accepted) {
    *accepted = false;
    for (int number = 1;; ++number) {
        char *line = nullptr;
        if (!lumo_conn_readline(conn, &line)) return false;
        if (*line == '\0') return true;
        std::string_view text = line;
        if (number == wire::kReplyResultLine && text.starts_with(wire::kResult))
            *accepted = text.substr(wire::kResult.size()) == wire::kSuccess;
        if (number == wire::kReplyInstanceNameLine && text.starts_with(wire::kInstanceName))
            lumo_runtime_set_instance_name(rt, line + wire::kInstanceName.size());
    }
}

void mark_reply_read(lumo_runtime *rt) {
    LockGuard guard(rt->lock);
    rt->status |= kStatusHandshakeRead;
    if (rt->cond_waiters > 0) vavevar::lumox_win32_cond_broadcast(rt->cond);
}

}  // namespace

char *lumo_handshake_form_factor(const char *home, std::size_t *length) noexcept {
    std::size_t home_length = home != nullptr ? std::strlen(home) : 0;
    char *path = static_cast<char *>(lumo_malloc(home_length + sizeof kFormFactorPath));
    char *bytes = nullptr;
    if (path != nullptr) {
        if (home_length > 0) std::memcpy(path, home, home_length);
        std::memcpy(path + home_length, kFormFactorPath, sizeof kFormFactorPath);
        bytes = read_whole_file(path, length);
        lumo_free(path);
    }
    if (bytes == nullptr) {
        bytes = lumo_strdup(kDefaultFormFactor);
        *length = bytes != nullptr ? sizeof kDefaultFormFactor - 1 : 0;
    }
    return bytes;
}

bool lumo_handshake(lumo_conn *conn, lumo_runtime *rt) noexcept {
    if (!write_request(conn, rt)) return false;
    bool accepted = false;
    bool complete = read_reply(conn, rt, &accepted);
    mark_reply_read(rt);  // read to its end or broken off: either way, read
    return complete && accepted;
}

}  // namespace vavevar
