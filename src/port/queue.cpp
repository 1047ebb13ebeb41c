#include "port/queue.h"

#include <new>

#include "port/memory.h"
#include "port/monotonic_cond.h"

namespace vavevar {
namespace {

// Spare nodes a queue keeps at most.
constexpr std::int32_t kSpareNodes = 256;

bool refusing(const lumo_queue *queue) noexcept {
    return queue->closing.load() != 0 || queue->stopped.load() != 0;
}

// A condition wait hands the queue's lock to the wait, which releases it while
// sleeping and retakes it before returning; the analysis cannot see through
// that, but the lock is held again on return. The lock is recursive, but no
// operation sleeps while holding it more than once, so the wait releases it
// entirely.
void wait_on(lumo_queue *queue, pthread_cond_t *cond) noexcept LUMO_REQUIRES(queue->lock) {
    pthread_cond_wait(cond, queue->lock->native());
}

// One wait, however it ends: a timed getter does not wait again.
void timed_wait_on(lumo_queue *queue, pthread_cond_t *cond, std::int32_t timeout_ms) noexcept
    LUMO_REQUIRES(queue->lock) {
    timespec deadline = lumo_monotonic_deadline(timeout_ms);
    pthread_cond_timedwait(cond, queue->lock->native(), &deadline);
}

// A getter's wait ended. Whether a signal or the clock ended it cannot be
// told, so it is taken as the signal: at worst a later put signals once more
// than needed, never once too few.
void woke(lumo_queue *queue) noexcept LUMO_REQUIRES(queue->lock) {
    if (queue->wakes_pending > 0) queue->wakes_pending -= 1;
}


void count_add(lumo_queue *queue, std::int32_t delta) noexcept LUMO_REQUIRES(queue->lock) {
    queue->count.store(queue->count.load(std::memory_order_relaxed) + delta,
                       std::memory_order_relaxed);
}

// Marks the queue stopped, wakes its sleeping getters and waits until they
// have left. A close still waiting is let go as well, since its queue can no
// longer drain, and is waited for in the same way.
void stop_locked(lumo_queue *queue) noexcept LUMO_REQUIRES(queue->lock) {
    queue->stopped.store(1);
    if (queue->drain_waiters > 0) pthread_cond_broadcast(&queue->drained);
    if (queue->get_waiters > 0) pthread_cond_broadcast(&queue->not_empty);
    while (queue->get_waiters > 0 || queue->close_waiters > 0) {
        queue->drain_waiters += 1;
        wait_on(queue, &queue->drained);
        queue->drain_waiters -= 1;
    }
}

void link_front(lumo_queue *queue, lumo_queue_node *node) noexcept LUMO_REQUIRES(queue->lock) {
    if (queue->head != nullptr && queue->tail == nullptr) queue->tail = queue->head;
    node->next = queue->head;
    queue->head = node;
}

void link_back(lumo_queue *queue, lumo_queue_node *node) noexcept LUMO_REQUIRES(queue->lock) {
    if (queue->head == nullptr) {
        queue->head = node;
    } else if (queue->tail == nullptr) {
        queue->head->next = node;
        queue->tail = node;
    } else {
        queue->tail->next = node;
        queue->tail = node;
    }
}

lumo_queue_node *new_node(lumo_queue *queue) noexcept LUMO_REQUIRES(queue->lock) {
    lumo_queue_node *node = queue->spare;
    if (node == nullptr) return static_cast<lumo_queue_node *>(lumo_malloc(sizeof(lumo_queue_node)));
    queue->spare = node->next;
    queue->spare_count -= 1;
    return node;
}

void recycle(lumo_queue *queue, lumo_queue_node *node) noexcept LUMO_REQUIRES(queue->lock) {
    if (queue->spare_count >= kSpareNodes) {
        lumo_free(node);
        return;
    }
    node->next = queue->spare;
    queue->spare = node;
    queue->spare_count += 1;
}

void free_nodes(lumo_queue_node *node) noexcept {
    while (node != nullptr) {
        lumo_queue_node *next = node->next;
        lumo_free(node);
        node = next;
    }
}

bool insert(lumo_queue *queue, void *item, bool at_front) noexcept {
    if (queue == nullptr || refusing(queue)) return false;
    LockGuard guard(queue->lock);
    if (refusing(queue)) return false;
    lumo_queue_node *node = new_node(queue);
    if (node == nullptr) return false;
    node->item = item;
    node->next = nullptr;
    if (at_front) {
        link_front(queue, node);
    } else {
        link_back(queue, node);
    }
    count_add(queue, 1);
    if (queue->get_waiters > queue->wakes_pending) {
        queue->wakes_pending += 1;
        pthread_cond_signal(&queue->not_empty);
    }
    return true;
}

void *take_head(lumo_queue *queue) noexcept LUMO_REQUIRES(queue->lock) {
    lumo_queue_node *node = queue->head;
    void *item = node->item;
    queue->head = node->next;
    if (queue->head == queue->tail) queue->tail = nullptr;
    count_add(queue, -1);
    recycle(queue, node);
    return item;
}

}  // namespace

lumo_queue *lumo_queue_create() noexcept {
    void *memory = lumo_malloc(sizeof(lumo_queue));
    if (memory == nullptr) return nullptr;
    auto *queue = new (memory) lumo_queue{};
    queue->lock = lumo_lock_create();
    bool not_empty_ok = lumo_monotonic_cond_init(&queue->not_empty);
    bool drained_ok = lumo_monotonic_cond_init(&queue->drained);
    if (queue->lock == nullptr || !not_empty_ok || !drained_ok) {
        if (not_empty_ok) pthread_cond_destroy(&queue->not_empty);
        if (drained_ok) pthread_cond_destroy(&queue->drained);
        lumo_lock_destroy(queue->lock);
        queue->~lumo_queue();
        lumo_free(memory);
        return nullptr;
    }
    return queue;
}

bool lumo_queue_put(lumo_queue *queue, void *item) noexcept {
    return insert(queue, item, false);
}

bool lumo_queue_putfront(lumo_queue *queue, void *item) noexcept {
    return insert(queue, item, true);
}

void *lumo_queue_get(lumo_queue *queue, std::int32_t wait, std::int32_t timeout_ms) noexcept {
    if (queue == nullptr || queue->stopped.load() != 0) return nullptr;
    LockGuard guard(queue->lock);
    if (queue->stopped.load() != 0) return nullptr;
    if (queue->head == nullptr && wait != 0 && !refusing(queue)) {
        queue->get_waiters += 1;
        if (timeout_ms > 0) {
            timed_wait_on(queue, &queue->not_empty, timeout_ms);
            woke(queue);
        } else {
            while (queue->head == nullptr && !refusing(queue)) {
                wait_on(queue, &queue->not_empty);
                woke(queue);
            }
        }
        queue->get_waiters -= 1;
    }
    void *item = queue->head != nullptr ? take_head(queue) : nullptr;
    // A close waits for the queue to empty; a stop waits for the getters to
    // leave, and a getter leaving a stopped queue may leave items behind.
    if (queue->drain_waiters != 0 && (queue->head == nullptr || queue->stopped.load() != 0))
        pthread_cond_broadcast(&queue->drained);
    return item;
}

bool lumo_queue_close(lumo_queue *queue) noexcept {
    if (queue == nullptr || refusing(queue)) return false;
    LockGuard guard(queue->lock);
    if (refusing(queue)) return false;
    queue->closing.store(1);
    queue->close_waiters += 1;
    while (queue->head != nullptr && queue->stopped.load() == 0) {
        queue->drain_waiters += 1;
        wait_on(queue, &queue->drained);
        queue->drain_waiters -= 1;
    }
    queue->close_waiters -= 1;
    // A stop that let this close go waits on the same condition for it.
    if (queue->stopped.load() != 0 && queue->drain_waiters > 0)
        pthread_cond_broadcast(&queue->drained);
    return queue->head == nullptr;
}

bool lumo_queue_stop(lumo_queue *queue) noexcept {
    if (queue == nullptr || queue->stopped.load() != 0) return false;
    LockGuard guard(queue->lock);
    stop_locked(queue);
    return true;
}

bool lumo_queue_destroy(lumo_queue *queue, void (*free_item)(void *)) noexcept {
    if (queue == nullptr) return false;
    lumo_queue_node *node;
    {
        LockGuard guard(queue->lock);
        if (queue->stopped.load() == 0) stop_locked(queue);
        node = queue->head;
        free_nodes(queue->spare);
        queue->spare = nullptr;
    }
    pthread_cond_destroy(&queue->not_empty);
    pthread_cond_destroy(&queue->drained);
    lumo_lock_destroy(queue->lock);
    while (node != nullptr) {
        lumo_queue_node *next = node->next;
        if (free_item != nullptr) free_item(node->item);
        lumo_free(node);
        node = next;
    }
    queue->~lumo_queue();
    lumo_free(queue);
    return true;
}

std::int32_t lumo_queue_count(const lumo_queue *queue) noexcept {
    return queue == nullptr ? 0 : queue->count.load(std::memory_order_relaxed);
}

bool lumo_queue_iterbegin(lumo_queue *queue) noexcept {
    if (queue == nullptr || queue->stopped.load() != 0) return false;
    queue->lock->lock();
    queue->previous = nullptr;
    queue->current = nullptr;
    queue->next = queue->head;
    return true;
}

void *lumo_queue_iternext(lumo_queue *queue) noexcept {
    if (queue == nullptr) return nullptr;
    if (queue->next == nullptr) {
        queue->previous = queue->current;
        queue->current = nullptr;
        return nullptr;
    }
    if (queue->current != nullptr) queue->previous = queue->current;
    queue->current = queue->next;
    queue->next = queue->current->next;
    return queue->current->item;
}

bool lumo_queue_iterremove(lumo_queue *queue) noexcept {
    if (queue == nullptr || queue->current == nullptr) return false;
    lumo_queue_node *node = queue->current;
    if (node == queue->head) {
        queue->head = queue->next;
    } else {
        queue->previous->next = queue->next;
        if (node == queue->tail) queue->tail = queue->previous;
    }
    if (queue->tail == queue->head) queue->tail = nullptr;
    recycle(queue, node);
    queue->current = nullptr;
    count_add(queue, -1);
    return true;
}

// A null queue holds no lock to release, which the analysis cannot tell.
void lumo_queue_iterend(lumo_queue *queue) noexcept LUMO_NO_THREAD_SAFETY_ANALYSIS {
    if (queue == nullptr) return;
    queue->previous = nullptr;
    queue->current = nullptr;
    queue->next = nullptr;
    queue->lock->unlock();
}

}  // namespace vavevar
