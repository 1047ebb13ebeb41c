#include "port/thread.h"

#include "port/cond.h"
#include "port/memory.h"
#include "port/systhread.h"

namespace vavevar {
namespace {

// Handed to the new thread, which releases it once the routine has returned.
struct StartBlock {
    void (*routine)(void *);
    void *arg;
    lumox_win32_thread_t *thread;  // null for a detached thread
};

StartBlock *new_start_block(void (*routine)(void *), void *arg,
                            lumox_win32_thread_t *thread) noexcept {
    auto *block = static_cast<StartBlock *>(lumo_malloc(sizeof(StartBlock)));
    if (block != nullptr) *block = StartBlock{routine, arg, thread};
    return block;
}

// Releases what a thread record owns and the record itself; also serves the
// half-built records of a start that failed. REQUIRES: no thread uses it.
void free_thread_record(lumox_win32_thread_t *thread) noexcept {
    if (thread->done != nullptr) {
        vavevar::lumox_win32_cond_destroy(thread->done);
        lumo_free(thread->done);
    }
    lumo_lock_destroy(thread->lock);
    lumo_free(thread);
}

void attached_entry(void *raw) {
    auto *block = static_cast<StartBlock *>(raw);
    lumox_win32_thread_t *thread = block->thread;
    block->routine(block->arg);
    lumo_free(block);
    LockGuard guard(thread->lock);
    thread->finished = 1;
    if (thread->joiners > 0) vavevar::lumox_win32_cond_broadcast(thread->done);
}

void detached_entry(void *raw) {
    auto *block = static_cast<StartBlock *>(raw);
    block->routine(block->arg);
    lumo_free(block);
}

}  // namespace

lumox_win32_thread_t *lumox_win32_thread_createattached(void (*routine)(void *),
                                                        void *arg) noexcept {
    auto *thread = static_cast<lumox_win32_thread_t *>(lumo_malloc(sizeof(lumox_win32_thread_t)));
    if (thread == nullptr) return nullptr;
    thread->lock = lumo_lock_create();
    thread->done = static_cast<lumox_win32_cond_t *>(lumo_malloc(sizeof(lumox_win32_cond_t)));
    // A completion variable whose init failed has no lock or event left;
    // init leaves it inert, so the record is simply not handed out.
    if (thread->done != nullptr && vavevar::lumox_win32_cond_init(thread->done) != 0) {
        lumo_free(thread->done);
        thread->done = nullptr;
    }
    if (thread->lock == nullptr || thread->done == nullptr) {
        free_thread_record(thread);
        return nullptr;
    }
    {
        LockGuard guard(thread->lock);
        thread->joiners = 0;
        thread->finished = 0;
    }
    StartBlock *block = new_start_block(routine, arg, thread);
    if (block == nullptr) {
        free_thread_record(thread);
        return nullptr;
    }
    if (lumo_thread_start(attached_entry, block) == kThreadStartFailed) {
        // The thread never ran, so nothing else can reach these records.
        lumo_free(block);
        free_thread_record(thread);
        return nullptr;
    }
    return thread;
}

std::uintptr_t lumox_win32_thread_createdetached(void (*routine)(void *), void *arg) noexcept {
    StartBlock *block = new_start_block(routine, arg, nullptr);
    if (block == nullptr) return kThreadStartFailed;
    std::uintptr_t started = lumo_thread_start(detached_entry, block);
    if (started == kThreadStartFailed) lumo_free(block);
    return started;
}

void lumox_win32_thread_join(lumox_win32_thread_t *thread, void **result) noexcept {
    if (result != nullptr) *result = nullptr;
    {
        LockGuard guard(thread->lock);
        while (thread->finished == 0) {
            thread->joiners += 1;
            vavevar::lumox_win32_cond_wait(thread->done, thread->lock->native());
            thread->joiners -= 1;
        }
    }
    free_thread_record(thread);
}

}  // namespace vavevar
