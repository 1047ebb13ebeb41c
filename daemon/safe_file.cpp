#include "safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vavevard {

bool replace_file(const std::string &path, std::string_view text, mode_t mode, std::string &error) {
    std::vector<char> name(path.begin(), path.end());
    for (char c : std::string_view(".XXXXXX")) name.push_back(c);
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a temporary file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    int why = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(name.data(), path.c_str()) == 0) return true;
    why = ok ? errno : why;
    ::unlink(name.data());
    error = "cannot write " + path + ": " + std::strerror(why);
    return false;
}

int open_for_append(const std::string &path, mode_t mode, std::string &error) {
    // Non-blocking for the open only: a FIFO with no reader then fails at
    // once instead of holding the daemon until someone reads it.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK,
                    mode);
    if (fd < 0) {
        int why = errno;
        struct stat st {};
        if (why == ELOOP) error = "it is a symbolic link, and links are not followed";
        else if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) error = "it is not a regular file";
        else error = std::strerror(why);
        return -1;
    }
    struct stat st {};
    int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = "it is not a regular file";
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace vavevard
