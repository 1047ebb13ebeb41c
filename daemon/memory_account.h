// What all connections together make the daemon hold, kept up to date as it
// changes, so that the daemon-wide bound can be checked at any moment without
// walking the connections. Input being parsed, output waiting for a socket,
// shared event bodies and what subscriptions keep all report here. The event
// loop is single-threaded, so the counts are plain numbers.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace vavevard {

class MemoryAccount {
public:
    void add(std::size_t n) noexcept { held_ += n; }
    void remove(std::size_t n) noexcept { held_ -= n < held_ ? n : held_; }
    std::size_t held() const noexcept { return held_; }

private:
    std::size_t held_ = 0;
};

// One holder's share of an account: set() moves the difference, destruction
// gives the whole share back. Without an account it only remembers the value.
class AccountedBytes {
public:
    AccountedBytes() = default;
    explicit AccountedBytes(std::shared_ptr<MemoryAccount> account) noexcept
        : account_(std::move(account)) {}
    ~AccountedBytes() { set(0); }
    AccountedBytes(AccountedBytes &&other) noexcept
        : account_(std::move(other.account_)), bytes_(std::exchange(other.bytes_, 0)) {}
    AccountedBytes &operator=(AccountedBytes &&other) noexcept {
        if (this != &other) {
            set(0);
            account_ = std::move(other.account_);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    AccountedBytes(const AccountedBytes &) = delete;
    AccountedBytes &operator=(const AccountedBytes &) = delete;

    void set(std::size_t n) noexcept {
        if (account_) {
            account_->remove(bytes_);
            account_->add(n);
        }
        bytes_ = n;
    }
    std::size_t get() const noexcept { return bytes_; }

private:
    std::shared_ptr<MemoryAccount> account_;
    std::size_t bytes_ = 0;
};

}  // namespace vavevard
