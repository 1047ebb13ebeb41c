/* Compiled as C11: proves the public header is plain C and that the shared
 * library serves a C program through exported names only. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vavevar.h"

static int failures = 0;

#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

static void property_lists(void) {
    lumo_proplist *list = lumo_proplist_create();
    const lumo_property *entry;
    CHECK(list != NULL);
    entry = lumo_proplist_put(list, "host", "alpha");
    CHECK(entry != NULL && strcmp(entry->name, "host") == 0 && strcmp(entry->value, "alpha") == 0);
    CHECK(lumo_proplist_put(list, "host", "beta") == entry);
    CHECK(lumo_proplist_count(list) == 1);
    CHECK(strcmp(lumo_proplist_get(list, "host"), "beta") == 0);
    lumo_proplist_destroy(&list);
    CHECK(list == NULL);
}

static void notifications(void) {
    int32_t length = 0, count = 0;
    lumo_property *all;
    lumo_notification *n = lumo_notification_create("c.type", "\x01\x02", 2);
    CHECK(n != NULL);
    CHECK(lumo_notification_getClass(n) == 0);
    CHECK(lumo_notification_setProperty(n, "k", "v1") == 0);
    CHECK(lumo_notification_setProperty(n, "k", "v2") == 0);
    CHECK(lumo_notification_setProperty(n, "k:", "v") == -1);
    all = lumo_notification_getAllProperties(n, &count);
    CHECK(count == 3 && all != NULL && strcmp(all[1].value, "v2") == 0);
    free(all);
    CHECK(lumo_notification_body(n, &length) != NULL && length == 2);
    /* There is no exported destroy: an unpublished notification the C program
     * made is released when the process ends. */
}

static void body_blocks(void) {
    static const unsigned char golden[] = {0x00, 0xA3, 0x7C, 0x08, 0xE7, 0x78, 0xEE, 0x24,
                                           0x5F, 0xD3, 0xB6, 0x4E, 0x01, 0x00, 0x02, 0x61,
                                           0x00, 0x00, 0x02, 0x00, 0x01, 0x6B, 0x00, 0x00,
                                           0x01, 0x76, 0x00};
    uint32_t length = 0;
    void *body;
    char *text;
    lumo_bb *block = lumo_bb_create();
    lumo_bb_seg *seg = lumo_bb_addsegment(block, "a");
    CHECK(lumo_bb_seg_addelement(seg, "k", "v") != NULL);
    body = lumo_bb_block2body(block, &length);
    CHECK(body != NULL && length == sizeof golden && memcmp(body, golden, sizeof golden) == 0);
    lumo_bb_destroy(block);
    block = lumo_bb_body2block(body, (int32_t)length);
    free(body);
    text = lumo_bb_toString(block);
    CHECK(text != NULL && strcmp(text, "Seg:a\n  k=v\n") == 0);
    free(text);
    lumo_bb_destroy(block);
}

/* A C thread hands a flag over through the exported condition variable. */
struct handover {
    pthread_mutex_t mutex;
    lumox_win32_cond_t cond;
    int ready;
};

static void set_ready(void *arg) {
    struct handover *h = arg;
    pthread_mutex_lock(&h->mutex);
    h->ready = 1;
    lumox_win32_cond_signal(&h->cond);
    pthread_mutex_unlock(&h->mutex);
}

static void portability(void) {
    struct handover h;
    lumox_win32_thread_t *thread;
    void *result = &h;
    pthread_mutex_init(&h.mutex, NULL);
    h.ready = 0;
    CHECK(lumox_win32_cond_init(&h.cond) == 0);
    pthread_mutex_lock(&h.mutex);
    CHECK(lumox_win32_cond_timedwait(&h.cond, &h.mutex, 1) == 1);
    thread = lumox_win32_thread_createattached(set_ready, &h);
    CHECK(thread != NULL);
    while (!h.ready) lumox_win32_cond_wait(&h.cond, &h.mutex);
    pthread_mutex_unlock(&h.mutex);
    lumox_win32_thread_join(thread, &result);
    CHECK(result == NULL);
    lumox_win32_cond_destroy(&h.cond);
    pthread_mutex_destroy(&h.mutex);
}

int main(void) {
    property_lists();
    notifications();
    body_blocks();
    portability();
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("c api checks passed\n");
    return 0;
}
