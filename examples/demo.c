/* Publishes three notifications and receives the two that its filter lets
 * through, in one process, through the daemon that TAMRIX_LUMO_PROXY_PORT
 * names (home directory from TAMRIX_CONFIG_HOME or TAMRIX_HOME). Exits 0 when
 * both arrived, 1 otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vavevar.h"

/* A body block describing an alarm, encoded as a notification body. */
static void *alarm_body(uint32_t *length) {
    lumo_bb *block = lumo_bb_create();
    lumo_bb_seg *alarm = lumo_bb_addsegment(block, "alarm");
    lumo_bb_seg *where = lumo_bb_seg_addsegment(alarm, "where");
    void *body;
    lumo_bb_seg_addelement(alarm, "text", "pressure high");
    lumo_bb_seg_addelement(alarm, "bar", "9.5");
    lumo_bb_seg_addelement(where, "valve", "7");
    body = lumo_bb_block2body(block, length);
    lumo_bb_destroy(block);
    return body;
}

static void publish(lumo_publisher *publisher, const char *type, const char *severity,
                    const void *body, int32_t length) {
    lumo_notification *n = lumo_notification_create(type, body, length);
    lumo_notification_setProperty(n, "site", "north");
    lumo_notification_setProperty(n, "severity", severity);
    lumo_publisher_publish(publisher, n); /* the library owns it now */
}

int main(void) {
    const char *filter = "demo/* and prop.severity >= 2";
    char *status = NULL;
    lumo_subscriber *subscriber;
    lumo_publisher *publisher;
    uint32_t length = 0;
    void *body;
    int received = 0;

    if (lumo_init() != 0) {
        fprintf(stderr, "demo: cannot start the library (is TAMRIX_LUMO_PROXY_PORT set?)\n");
        return 1;
    }
    subscriber = lumo_subscriber_create_wtimeout(filter, "demo", NULL, NULL, &status, 5000);
    if (subscriber == NULL) {
        fprintf(stderr, "demo: subscription refused: %s\n", status ? status : "(no reason)");
        free(status);
        lumo_shutdown();
        return 1;
    }
    free(status);
    printf("subscribed with '%s'\n", filter);

    publisher = lumo_publisher_create("demo");
    body = alarm_body(&length);
    publish(publisher, "demo/noise", "1", "ignored", 7); /* severity 1: filtered out */
    publish(publisher, "demo/alarm", "3", body, (int32_t)length);
    publish(publisher, "demo/note", "2", "valve 7 closed", 14);
    free(body);

    while (received < 2) {
        lumo_notification *n = lumo_subscriber_receive(subscriber, 1, 5000);
        char *text;
        if (n == NULL) break;
        /* Mode 4: a body block decoded, any other body as a hex dump. */
        text = lumo_notification_toString(n, strcmp(lumo_notification_type(n), "demo/alarm") == 0 ? 4 : 2);
        printf("received %s (severity %s):\n%s\n", lumo_notification_type(n),
               lumo_notification_getProperty(n, "severity"), text);
        free(text);
        lumo_subscriber_relinquish(subscriber, n);
        ++received;
    }
    printf("%d of 2 expected notifications received\n", received);

    lumo_publisher_close(publisher);
    lumo_subscriber_close(subscriber);
    lumo_shutdown();
    return received == 2 ? 0 : 1;
}
