// A notification made by a test and released when the test is done with it.
#pragma once

#include "notification/notification.h"

namespace vavevar::test {

struct Owned {
    lumo_notification *n;
    explicit Owned(lumo_notification *created) : n(created) {}
    ~Owned() { lumo_notification_destroy(n); }
    Owned(Owned &&other) noexcept : n(other.n) { other.n = nullptr; }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
};

}  // namespace vavevar::test
