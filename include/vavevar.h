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

/* Returns a new text describing the notification: its header rows, the rows
 * its class shows, and, when `mode` is not 0 and there is a body, the body:
 * 1 as a hex dump, 2 as text up to its first NUL, 3 decoded as a body block
 * (a fixed error text when it is not one), 4 as 3 but a hex dump when it is
 * not one; any other mode shows "(null)". A NULL notification gives
 * "NOTIFICATION 0x0 (NULL)\n". The caller frees the text; NULL only when
 * memory runs out. */
LUMO_EXPORT char *lumo_notification_toString(const lumo_notification *n, int32_t mode) LUMO_NOEXCEPT;

/* Writes the text of lumo_notification_toString(n, 0) to standard error. */
LUMO_EXPORT void lumo_notification_print(const lumo_notification *n) LUMO_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Body blocks: a structured body of named segments, each holding an ordered
 * list of named elements (text or byte values) and an ordered list of child
 * segments. The block owns everything in it: names and values are copied in,
 * and every pointer handed out (segments, elements, lists, names, values)
 * points into the block and stays valid until the item is replaced or the
 * block is destroyed. Names are compared exactly. Lists keep insertion order.
 * A block belongs to one thread at a time.
 * ---------------------------------------------------------------------- */

/* Returns a new empty block, or NULL when out of memory. */
LUMO_EXPORT lumo_bb *lumo_bb_create(void) LUMO_NOEXCEPT;

/* Releases the block and every segment and element in it. */
LUMO_EXPORT void lumo_bb_destroy(lumo_bb *block) LUMO_NOEXCEPT;

/* Returns the block's list of top-level segments. */
LUMO_EXPORT lumo_bb_seglist *lumo_bb_getsegments(lumo_bb *block) LUMO_NOEXCEPT;

/* Returns the first top-level segment named `name`, or NULL when there is
 * none or `name` is NULL. */
LUMO_EXPORT lumo_bb_seg *lumo_bb_getsegment(lumo_bb *block, const char *name) LUMO_NOEXCEPT;

/* Returns the top-level segment named `name`, appending a new empty one when
 * there is none; NULL when `name` is NULL or memory runs out. */
LUMO_EXPORT lumo_bb_seg *lumo_bb_addsegment(lumo_bb *block, const char *name) LUMO_NOEXCEPT;

/* Returns the segment's name. */
LUMO_EXPORT const char *lumo_bb_seg_getname(lumo_bb_seg *seg) LUMO_NOEXCEPT;

/* Returns the segment's list of child segments. */
LUMO_EXPORT lumo_bb_seglist *lumo_bb_seg_getsegments(lumo_bb_seg *seg) LUMO_NOEXCEPT;

/* As lumo_bb_getsegment, among the segment's children. */
LUMO_EXPORT lumo_bb_seg *lumo_bb_seg_getsegment(lumo_bb_seg *seg, const char *name) LUMO_NOEXCEPT;

/* As lumo_bb_addsegment, among the segment's children. */
LUMO_EXPORT lumo_bb_seg *lumo_bb_seg_addsegment(lumo_bb_seg *seg, const char *name) LUMO_NOEXCEPT;

/* Returns the segment's list of elements. */
LUMO_EXPORT lumo_bb_elemlist *lumo_bb_seg_getelements(lumo_bb_seg *seg) LUMO_NOEXCEPT;

/* Returns the value of the element named `name` (followed by a NUL that the
 * length does not count), or NULL when there is none or `name` is NULL; writes
 * the value's length, or 0 when there is no such element, to *length when
 * length is not NULL. A NULL segment leaves *length untouched. */
LUMO_EXPORT const char *lumo_bb_seg_getelement(lumo_bb_seg *seg, const char *name,
                                               uint32_t *length) LUMO_NOEXCEPT;

/* Sets the element `name` to a copy of the text `value`. An element of that
 * name is replaced, and the new one goes to the end of the list. Returns the
 * element, or NULL when the name or value is NULL or memory runs out (an
 * element being replaced then stays as it was). */
LUMO_EXPORT lumo_bb_elem *lumo_bb_seg_addelement(lumo_bb_seg *seg, const char *name,
                                                 const char *value) LUMO_NOEXCEPT;

/* As lumo_bb_seg_addelement with a copy of `length` bytes of `value`, which
 * may hold NUL bytes; a length of -1 takes `value` as a text. Any other
 * negative length is refused with NULL. */
LUMO_EXPORT lumo_bb_elem *lumo_bb_seg_addelement_b(lumo_bb_seg *seg, const char *name,
                                                   const void *value, int32_t length) LUMO_NOEXCEPT;

/* Returns the element's name. */
LUMO_EXPORT const char *lumo_bb_elem_getname(lumo_bb_elem *elem) LUMO_NOEXCEPT;

/* Returns the element's value (followed by a NUL that the length does not
 * count) and writes its length to *length when length is not NULL; 0 is
 * written for a NULL element. */
LUMO_EXPORT const char *lumo_bb_elem_getvalue(lumo_bb_elem *elem, uint32_t *length) LUMO_NOEXCEPT;

/* Iteration: the first item of a list, and the item after a given one; NULL
 * at the end. */
LUMO_EXPORT lumo_bb_seg *lumo_bb_seglist_getfirst(lumo_bb_seglist *list) LUMO_NOEXCEPT;
LUMO_EXPORT lumo_bb_seg *lumo_bb_seglist_getnext(lumo_bb_seg *seg) LUMO_NOEXCEPT;
LUMO_EXPORT lumo_bb_elem *lumo_bb_elemlist_getfirst(lumo_bb_elemlist *list) LUMO_NOEXCEPT;
LUMO_EXPORT lumo_bb_elem *lumo_bb_elemlist_getnext(lumo_bb_elem *elem) LUMO_NOEXCEPT;

/* Encodes the block as a notification body and writes its size to *length. A
 * NULL or empty block gives the 12-byte signature alone. The caller frees the
 * result. Returns NULL, leaving *length untouched, when `length` is NULL,
 * memory runs out, or the block does not fit the format: a segment name over
 * 65,533 bytes, an element name or value over 65,534 bytes, or segments
 * nested more than 255 levels below the top. */
LUMO_EXPORT void *lumo_bb_block2body(lumo_bb *block, uint32_t *length) LUMO_NOEXCEPT;

/* Decodes `length` bytes of an encoded body block into a new block that the
 * caller releases with lumo_bb_destroy. Returns NULL for a NULL body, fewer
 * than 12 bytes, a wrong signature or no memory. A body that goes wrong later
 * gives the block decoded up to that point. Never reads beyond `length`. */
LUMO_EXPORT lumo_bb *lumo_bb_body2block(const void *body, int32_t length) LUMO_NOEXCEPT;

/* Returns a new text with one line per segment ("Seg:name") and per element
 * ("name=value", "<binary-data>" for a value with an unprintable byte),
 * indented two spaces per level, elements before child segments. NULL for a
 * NULL block, a block without segments, or when memory runs out. The caller
 * frees the text. */
LUMO_EXPORT char *lumo_bb_toString(lumo_bb *block) LUMO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VAVEVAR_H */
