// A descriptor a test owns: closed when the owner goes, so that a failed
// assertion leaves no socket behind.
#pragma once

#include <unistd.h>

#include <utility>

namespace vavevar::test {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace vavevar::test
