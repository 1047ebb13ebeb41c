#include "failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
#define REPLACE_NEW 0
#else
#define REPLACE_NEW 1
#endif

namespace {

std::atomic<std::uint64_t> g_calls{0}, g_bytes{0};
// Successes left before the failures start; negative: no fault armed.
std::atomic<std::int64_t> g_successesLeft{-1};
std::atomic<bool> g_markedOnly{false}, g_once{false}, g_fired{false};
thread_local bool t_marked = false;

[[maybe_unused]] void *allocate(std::size_t n) noexcept {
    ++g_calls;
    g_bytes += n;
    if (!g_markedOnly.load() || t_marked) {
        std::int64_t left = g_successesLeft.load();
        while (left >= 0) {
            if (left == 0) {
                g_fired = true;
                if (g_once.load()) g_successesLeft = -1;
                return nullptr;
            }
            if (g_successesLeft.compare_exchange_weak(left, left - 1)) break;
        }
    }
    return std::malloc(n ? n : 1);
}

}  // namespace

namespace vavevard::test {

bool new_seam_available() noexcept { return REPLACE_NEW != 0; }
std::uint64_t new_calls() noexcept { return g_calls.load(); }
std::uint64_t new_bytes() noexcept { return g_bytes.load(); }
void mark_thread_for_faults() noexcept { t_marked = true; }
NewFault::NewFault(std::int64_t successes, bool markedThreadsOnly, bool once) noexcept {
    g_fired = false;
    g_markedOnly = markedThreadsOnly;
    g_once = once;
    g_successesLeft = successes;
}
NewFault::~NewFault() { g_successesLeft = -1; }
bool NewFault::fired() const noexcept { return g_fired.load(); }

}  // namespace vavevard::test

#if REPLACE_NEW
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // these are the replacements
#endif
void *operator new(std::size_t n) {
    if (void *p = allocate(n)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n) { return operator new(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return allocate(n); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return allocate(n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
#endif
