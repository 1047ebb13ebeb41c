/* Builds a property list and a few notifications through the public
 * interface and prints what it built. */
#include <stdio.h>
#include <stdlib.h>

#include "vavevar.h"

static void print_notification(const char *label, lumo_notification *n) {
    int32_t length = 0, count = 0, i;
    const char *body = lumo_notification_body(n, &length);
    lumo_property *all = lumo_notification_getAllProperties(n, &count);

    printf("%s\n", label);
    printf("  type:        %s\n", lumo_notification_type(n));
    printf("  class:       %d\n", (int)lumo_notification_getClass(n));
    printf("  local only:  %d\n", (int)lumo_notification_localOnly(n));
    printf("  body:        %d byte(s)%s%.*s\n", (int)length, body ? ": " : "",
           body ? (int)length : 0, body ? body : "");
    printf("  properties:  %d (newest first)\n", (int)count);
    for (i = 0; i < count; ++i) printf("    %s = %s\n", all[i].name, all[i].value);
    free(all);
}

int main(void) {
    lumo_proplist *interest = lumo_proplist_create();
    lumo_notification *alarm, *odd;
    int32_t i, result;

    lumo_proplist_put(interest, "severity", "major");
    lumo_proplist_put(interest, "site", "north");
    lumo_proplist_put(interest, "severity", "critical"); /* replaced in place */
    printf("property list with %d entries:\n", (int)lumo_proplist_count(interest));
    for (i = 0; i < lumo_proplist_count(interest); ++i) {
        const lumo_property *p = lumo_proplist_getIndex(interest, i);
        printf("  [%d] %s = %s\n", (int)i, p->name, p->value);
    }
    lumo_proplist_destroy(&interest);

    alarm = lumo_notification_create("plant.alarm", "pressure high", 13);
    lumo_notification_setProperty(alarm, "severity", "major");
    lumo_notification_setProperty(alarm, "severity", "critical");
    lumo_notification_setProperty(alarm, "url", "http://plant:8080/valve/7");
    lumo_notification_setLocalOnly(alarm);
    print_notification("notification 'plant.alarm':", alarm);

    odd = lumo_notification_create("plant.note", NULL, 0);
    result = lumo_notification_setProperty(odd, "bad:name", "kept value");
    printf("\nsetting a property named 'bad:name' returned %d\n", (int)result);
    result = lumo_notification_setProperty(odd, "note", "two\nlines");
    printf("setting a value with a line feed returned %d\n", (int)result);
    print_notification("notification 'plant.note':", odd);

    /* Until they are published, the notifications belong to this program;
     * there is no daemon to publish them to yet, so they end with it. */
    return 0;
}
