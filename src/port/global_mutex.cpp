#include "port/global_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port/diag.h"

namespace vavevar {
namespace {

// Opens the directory, creating it 0700 when missing. It must be a real
// directory (not a link to one), owned by us, that nobody else may write to:
// another user who made it first, or who may write in it, could otherwise
// hold or replace the lock file.
int open_own_dir(const char *dir) noexcept {
    if (::mkdir(dir, 0700) != 0 && errno != EEXIST) {
        lumo_log("Cannot create the lock directory %s: %s\n", dir, std::strerror(errno));
        return -1;
    }
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        lumo_log("Cannot open the lock directory %s: %s\n", dir, std::strerror(errno));
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 022) != 0) {
        lumo_log("The lock directory %s is not this user's alone (uid %u); not using it\n", dir,
                 static_cast<unsigned>(::geteuid()));
        ::close(fd);
        return -1;
    }
    return fd;
}

// Opens the lock file in the directory: a regular file of ours. Whatever
// else is in its place (a link, a FIFO, another user's file, which only root
// could have put into our directory) is removed and the file made anew.
int open_lock_file(int dir) noexcept {
    for (int tries = 0; tries < 4; ++tries) {
        // Non-blocking, so that a FIFO in the file's place does not hold the
        // open up; a link is not followed.
        int fd = ::openat(dir, kGlobalMutexFile, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd >= 0) {
            struct stat info {};
            if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) return fd;
            ::close(fd);
        } else if (errno != ELOOP && errno != EACCES && errno != EPERM && errno != ENXIO) {
            return -1;
        }
        if (::unlinkat(dir, kGlobalMutexFile, 0) != 0 && errno != ENOENT) return -1;
    }
    return -1;
}

std::uint32_t wait_bound_ms() noexcept {
    const char *text = std::getenv("VAVEVAR_LOCK_WAIT_MS");
    if (text == nullptr || *text < '0' || *text > '9') return kGlobalMutexWaitMs;
    char *end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || errno != 0 || value > UINT32_MAX) return kGlobalMutexWaitMs;
    return static_cast<std::uint32_t>(value);
}

long long now_us() noexcept {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Takes the flock, polling up to the bound: a blocking flock could not be
// given up on. The polls start short, since a holder usually lets go within
// milliseconds, and grow to 20 ms.
enum class Locking { locked, timed_out, failed };

Locking lock_within(int fd, std::uint32_t bound_ms) noexcept {
    const long long deadline = now_us() + static_cast<long long>(bound_ms) * 1000;
    long pause_us = 200;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Locking::locked;
        if (errno != EWOULDBLOCK && errno != EINTR) return Locking::failed;
        const long long left = deadline - now_us();
        if (left <= 0) return Locking::timed_out;
        long us = pause_us < left ? pause_us : static_cast<long>(left);
        timespec pause{us / 1000000, (us % 1000000) * 1000};
        ::nanosleep(&pause, nullptr);
        if (pause_us < 20000) pause_us *= 2;
    }
}

}  // namespace

void lumo_global_mutex_default_dir(char *into, unsigned size) noexcept {
    std::snprintf(into, size, "/tmp/vavevar-%u", static_cast<unsigned>(::geteuid()));
}

bool GlobalMutex::acquire(const char *dir, bool wait) noexcept {
    char own[64];
    if (dir == nullptr) {
        lumo_global_mutex_default_dir(own, sizeof own);
        dir = own;
    }
    int dir_fd = open_own_dir(dir);
    if (dir_fd < 0) return false;
    int fd = open_lock_file(dir_fd);
    ::close(dir_fd);
    if (fd < 0) {
        lumo_log("Cannot open the lock file %s/%s: %s\n", dir, kGlobalMutexFile, std::strerror(errno));
        return false;
    }
    bool locked;
    if (wait) {
        const std::uint32_t bound = wait_bound_ms();
        const Locking result = lock_within(fd, bound);
        locked = result == Locking::locked;
        if (result == Locking::timed_out)
            lumo_log("Gave up waiting for the lock %s/%s after %u ms\n", dir, kGlobalMutexFile,
                     static_cast<unsigned>(bound));
    } else {
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        locked = rc == 0;
    }
    if (!locked) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool GlobalMutex::take(const char *dir) noexcept { return acquire(dir, true); }

bool GlobalMutex::try_take(const char *dir) noexcept { return acquire(dir, false); }

void GlobalMutex::release() noexcept {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace vavevar
