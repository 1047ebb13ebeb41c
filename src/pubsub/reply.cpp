#include "pubsub/reply.h"

#include "port/cond.h"
#include "port/cond_alloc.h"
#include "port/memory.h"

namespace vavevar {

lumo_reply *lumo_reply_create(bool waitable) noexcept LUMO_NO_THREAD_SAFETY_ANALYSIS {
    auto *reply = static_cast<lumo_reply *>(lumo_malloc(sizeof(lumo_reply)));
    if (reply == nullptr) return nullptr;
    *reply = lumo_reply{};
    reply->lock = lumo_lock_create();
    if (waitable) reply->cond = lumo_cond_create();
    if (reply->lock == nullptr || (waitable && reply->cond == nullptr)) {
        lumo_reply_free(reply);
        return nullptr;
    }
    return reply;
}

void lumo_reply_free(lumo_reply *reply) noexcept LUMO_NO_THREAD_SAFETY_ANALYSIS {
    if (reply == nullptr) return;
    lumo_free(reply->message);
    lumo_cond_free(reply->cond);
    lumo_lock_destroy(reply->lock);
    lumo_free(reply);
}

void lumo_reply_answer(lumo_reply *reply, std::int32_t result, char *message) noexcept {
    LockGuard guard(reply->lock);
    if (reply->done) {
        lumo_free(message);
        return;
    }
    reply->done = 1;
    reply->result = result == 1 ? 1u : 0u;
    reply->message = message;
    if (reply->waiters > 0) vavevar::lumox_win32_cond_broadcast(reply->cond);
}

bool lumo_reply_wait(lumo_reply *reply, std::int32_t timeoutMs) noexcept {
    LockGuard guard(reply->lock);
    if (!reply->done && reply->cond != nullptr) {
        reply->waiters += 1;
        if (timeoutMs > 0) {
            vavevar::lumox_win32_cond_timedwait(reply->cond, reply->lock->native(),
                                                static_cast<std::uint32_t>(timeoutMs));
        } else {
            while (!reply->done) vavevar::lumox_win32_cond_wait(reply->cond, reply->lock->native());
        }
        reply->waiters -= 1;
    }
    return reply->done != 0;
}

bool lumo_reply_outcome(lumo_reply *reply, std::int32_t *result, char **message) noexcept {
    LockGuard guard(reply->lock);
    if (!reply->done) return false;
    *result = static_cast<std::int32_t>(reply->result);
    *message = reply->message;
    reply->message = nullptr;
    return true;
}

}  // namespace vavevar
