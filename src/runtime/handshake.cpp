#include "runtime/handshake.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "port/cond.h"
#include "port/memory.h"
#include "runtime/runtime_state.h"
#include "wire/control_texts.h"
#include "wire/message_writer.h"

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

bool lumo_handshake_write(const lumo_runtime *rt, ByteBuffer &out) noexcept {
    std::size_t ff_length = 0;
    char *form_factor = lumo_handshake_form_factor(rt->home, &ff_length);
    if (form_factor == nullptr) return false;
    char pid[32];
    int pid_length = std::snprintf(pid, sizeof pid, "Pid=%d; Home=", rt->pid);
    // The blank behind the version number is part of what daemons expect.
    static constexpr std::string_view kProtocolVersion = "4 ";
    const std::size_t start = out.size();
    wire::MessageWriter<ByteBuffer> message(out);
    message.raw(wire::kConnectLine);
    message.header(wire::kVersion, kProtocolVersion);
    // The file's content goes as it is, line breaks and all.
    message.header(wire::kFormFactor, {form_factor, ff_length});
    message.raw(wire::kSelfId);
    message.raw({pid, static_cast<std::size_t>(pid_length)});
    message.line({rt->home, rt->home_len});
    message.line({});
    lumo_free(form_factor);
    if (out.ok()) return true;
    out.truncate(start);
    return false;
}

void lumo_handshake_answered(lumo_runtime *rt) noexcept {
    LockGuard guard(rt->lock);
    rt->status |= kStatusHandshakeRead;
    if (rt->cond_waiters > 0) vavevar::lumox_win32_cond_broadcast(rt->cond);
}

}  // namespace vavevar
