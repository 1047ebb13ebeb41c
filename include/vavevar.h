/*
 * vavevar: publish notifications to, and receive notifications from, the
 * notification daemon on this machine.
 *
 * Rules that hold for the whole interface:
 *  1. Handles are opaque pointers. Only lumo_property and lumox_win32_cond_t
 *     are complete records, because callers read or allocate them.
 *  2. Every function accepts a NULL handle: it then does nothing and returns
 *     0, NULL or the error value its comment names.
 *  3. Objects keep private copies of every text given to them. Texts returned
 *     by accessors belong to the object and live as long as it does. Texts
 *     and arrays documented as "the caller frees" are allocated with malloc;
 *     release them with free().
 *  4. Functions that destroy a handle held in a variable of the caller take
 *     the variable's address and set it to NULL.
 *  5. Time-outs are milliseconds; 0 or less waits without limit wherever
 *     waiting was asked for. Times are returned in whole seconds.
 *  6. No function throws, calls back into the caller unexpectedly, or writes
 *     anything but the documented diagnostics to standard error.
 */
#ifndef VAVEVAR_H
#define VAVEVAR_H

#include <pthread.h>
#include <stdint.h>

#if defined(VAVEVAR_BUILDING)
#define LUMO_EXPORT __attribute__((visibility("default")))
#else
#define LUMO_EXPORT
#endif

#ifdef __cplusplus
#define LUMO_NOEXCEPT noexcept
#else
#define LUMO_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lumo_notification lumo_notification;
typedef struct lumo_publisher lumo_publisher;
typedef struct lumo_subscriber lumo_subscriber;
typedef struct lumo_subscriberlist lumo_subscriberlist;
typedef struct lumo_instream lumo_instream;
typedef struct lumo_outstream lumo_outstream;
typedef struct lumo_proplist lumo_proplist;
typedef struct lumo_bb lumo_bb;
typedef struct lumo_bb_seg lumo_bb_seg;
typedef struct lumo_bb_elem lumo_bb_elem;
typedef struct lumo_bb_seglist lumo_bb_seglist;
typedef struct lumo_bb_elemlist lumo_bb_elemlist;
typedef struct lumox_win32_thread_t lumox_win32_thread_t;

/* A named text property; both texts are NUL-terminated. */
typedef struct lumo_property {
    const char *name;
    const char *value;
} lumo_property;

/* ------------------------------------------------------------------------
 * Property lists: an ordered table of uniquely named text properties, owned
 * by the application and handed to subscriber creation.
 * ---------------------------------------------------------------------- */

/* Returns a new empty list, or NULL when out of memory. */
LUMO_EXPORT lumo_proplist *lumo_proplist_create(void) LUMO_NOEXCEPT;

/* Releases *list with every name and value it holds and sets *list to NULL.
 * A NULL address or a variable holding NULL is ignored. */
LUMO_EXPORT void lumo_proplist_destroy(lumo_proplist **list) LUMO_NOEXCEPT;

/* Sets the property `name` to a copy of `value`. An existing entry of that
 * name (compared exactly, case-sensitive) keeps its index and gets the new
 * value; otherwise a new entry is appended. Returns the entry, valid until a
 * later put grows the list or the list is destroyed, or NULL when the list,
 * name or value is NULL or memory runs out (the list is then unchanged). */
LUMO_EXPORT const lumo_property *lumo_proplist_put(lumo_proplist *list, const char *name,
                                                   const char *value) LUMO_NOEXCEPT;

/* Returns the list's own copy of the value of `name`, or NULL when there is
 * no such entry or the list or the name is NULL. */
LUMO_EXPORT const char *lumo_proplist_get(const lumo_proplist *list, const char *name) LUMO_NOEXCEPT;

/* Returns the entry at `index` (0 .. count-1), or NULL outside that range. */
LUMO_EXPORT const lumo_property *lumo_proplist_getIndex(const lumo_proplist *list,
                                                        int32_t index) LUMO_NOEXCEPT;

/* Returns the number of entries; 0 for a NULL list. */
LUMO_EXPORT int32_t lumo_proplist_count(const lumo_proplist *list) LUMO_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Notifications: a class, header texts, named properties and an optional
 * body. The application owns a notification it created until it publishes
 * it; a received one belongs to its subscriber until relinquished.
 * ---------------------------------------------------------------------- */

/* Returns a new notification of class 0 holding a copy of `type` and of the
 * first `bodyLength` bytes of `body` (no NUL is added; a length of 0 or less
 * means no body), or NULL when `type` is NULL, `body` is NULL while
 * `bodyLength` is positive, or memory runs out. */
LUMO_EXPORT lumo_notification *lumo_notification_create(const char *type, const void *body,
                                                        int32_t bodyLength) LUMO_NOEXCEPT;

/* Adds the property `name` = `value` in front of the notification's
 * properties; earlier values of the same name stay behind it. A name holding
 * ':', CR or LF, or a value holding CR or LF, is stored with a fixed error
 * text in its place and the result is -1. Returns 0 on success, and -2 when
 * the notification, the name or the value is NULL or memory runs out (the
 * properties are then unchanged). */
LUMO_EXPORT int32_t lumo_notification_setProperty(lumo_notification *n, const char *name,
                                                  const char *value) LUMO_NOEXCEPT;

/* Returns the newest value of `name`, or NULL when there is none or `name`
 * is NULL. */
LUMO_EXPORT const char *lumo_notification_getProperty(const lumo_notification *n,
                                                      const char *name) LUMO_NOEXCEPT;

/* Returns an array of every property, newest first, and writes its length to
 * *count (if count is not NULL). The caller frees the array, never the texts
 * in it, and must not use it after the notification is gone. With no
 * properties, a NULL notification or no memory the result is NULL and 0 is
 * written. */
LUMO_EXPORT lumo_property *lumo_notification_getAllProperties(const lumo_notification *n,
                                                              int32_t *count) LUMO_NOEXCEPT;

/* Header texts; NULL when absent. They belong to the notification. */
LUMO_EXPORT const char *lumo_notification_id(const lumo_notification *n) LUMO_NOEXCEPT;
LUMO_EXPORT const char *lumo_notification_type(const lumo_notification *n) LUMO_NOEXCEPT;
LUMO_EXPORT const char *lumo_notification_stamp(const lumo_notification *n) LUMO_NOEXCEPT;
LUMO_EXPORT const char *lumo_notification_generatingComponent(const lumo_notification *n) LUMO_NOEXCEPT;
LUMO_EXPORT const char *lumo_notification_generatingNode(const lumo_notification *n) LUMO_NOEXCEPT;
LUMO_EXPORT const char *lumo_notification_generatingProcess(const lumo_notification *n) LUMO_NOEXCEPT;
LUMO_EXPORT const char *lumo_notification_instanceName(const lumo_notification *n) LUMO_NOEXCEPT;
LUMO_EXPORT const char *lumo_notification_affectedComponents(const lumo_notification *n) LUMO_NOEXCEPT;
LUMO_EXPORT const char *lumo_notification_affectedNodes(const lumo_notification *n) LUMO_NOEXCEPT;

/* Returns the class, 0 to 8 (see the class names in the documentation) LUMO_NOEXCEPT;
 * 8 for a NULL notification. */
LUMO_EXPORT int32_t lumo_notification_getClass(const lumo_notification *n) LUMO_NOEXCEPT;

/* The daemon's creation and delivery times in whole seconds (milliseconds
 * divided by 1000, truncated toward zero); 0 for a NULL notification. */
LUMO_EXPORT uint32_t lumo_notification_creationTime(const lumo_notification *n) LUMO_NOEXCEPT;
LUMO_EXPORT int32_t lumo_notification_deliveryTime(const lumo_notification *n) LUMO_NOEXCEPT;

/* Returns 1 when the notification is marked local-only, else 0. */
LUMO_EXPORT int32_t lumo_notification_localOnly(const lumo_notification *n) LUMO_NOEXCEPT;

/* Marks the notification local-only; the mark cannot be cleared. */
LUMO_EXPORT void lumo_notification_setLocalOnly(lumo_notification *n) LUMO_NOEXCEPT;

/* Returns the body (NULL when there is none) and writes its stored length to
 * *length when length is not NULL. For a NULL notification returns NULL and
 * leaves *length untouched. */
LUMO_EXPORT const char *lumo_notification_body(const lumo_notification *n, int32_t *length) LUMO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VAVEVAR_H */
