#include "home_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "wire/default_home.h"

namespace vavevard {
namespace {

// mkdir -p: the user's own directories private, as their state should be.
bool make_directories(const std::string &path, mode_t mode, int &error) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
            error = errno;
            return false;
        }
        if (slash == std::string::npos) return true;
    }
}

}  // namespace

std::string default_home(const GetEnv &getenv, bool root) {
    return vavevar::wire::default_home(getenv, root);
}

bool prepare_home(const std::string &path, bool create, std::string &error) {
    int why = 0;
    if (create && !make_directories(path, ::geteuid() == 0 ? 0755 : 0700, why)) {
        error = "home directory '" + path + "' cannot be created: " + std::strerror(why);
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = "home directory '" + path + "' does not exist or is not a directory";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "home directory '" + path + "' does not exist or is not a directory";
        return false;
    }
    if (::access(path.c_str(), W_OK | X_OK) != 0) {
        error = "home directory '" + path + "' is not writable: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace vavevard
