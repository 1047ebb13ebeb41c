#include "port/global_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vavevar {
namespace {

// Opens the lock file, creating it readable and writable by every user. An
// existing file is opened without O_CREAT: in a sticky world-writable
// directory (/tmp) the kernel may refuse O_CREAT on another user's file.
int open_lock_file(const char *path) noexcept {
    for (;;) {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fchmod(fd, 0666);  // past the umask, so that every user can lock it
            return fd;
        }
        if (errno != EEXIST) return -1;
        // Another process created it in between: open that one.
    }
}

}  // namespace

bool GlobalMutex::acquire(const char *path, int operation) noexcept {
    int fd = open_lock_file(path);
    if (fd < 0) return false;
    int rc;
    do {
        rc = flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool GlobalMutex::take(const char *path) noexcept { return acquire(path, LOCK_EX); }

bool GlobalMutex::try_take(const char *path) noexcept { return acquire(path, LOCK_EX | LOCK_NB); }

void GlobalMutex::release() noexcept {
    if (fd_ < 0) return;
    flock(fd_, LOCK_UN);
    close(fd_);
    fd_ = -1;
}

}  // namespace vavevar
