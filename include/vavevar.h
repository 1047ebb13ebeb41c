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
 * Runtime: start and stop. The library is started once per process and
 * counted: every successful or repeated start needs one shutdown, and only
 * the last shutdown stops anything. Starting does not wait for the daemon;
 * the library connects in the background and keeps reconnecting.
 * ---------------------------------------------------------------------- */

/* Starts the library with the daemon's home directory from TAMRIX_CONFIG_HOME
 * (or, when that is unset or empty, TAMRIX_HOME) and its port from
 * TAMRIX_LUMO_PROXY_PORT. Returns 0 when started, -1 when the home or the
 * port is missing or invalid (the reason is printed on standard error), -2
 * when the system refused a resource the library needs, -3 when already
 * started in this process (the start is counted all the same). */
LUMO_EXPORT int32_t lumo_init(void) LUMO_NOEXCEPT;

/* As lumo_init with the port given; only its low 16 bits are used, and 0
 * there means the port comes from the environment. */
LUMO_EXPORT int32_t lumo_init_with_port(int32_t port) LUMO_NOEXCEPT;

/* As lumo_init with the home directory given; NULL means the environment. */
LUMO_EXPORT int32_t lumo_init_wtamrixhome(const char *home) LUMO_NOEXCEPT;

/* Ends one start. The last one writes out what is still queued for the
 * daemon, stops the library's threads, closes every publisher and subscriber
 * still open and releases everything. Without a start it does nothing.
 * Whatever the daemon does (refusing connections, accepting and never
 * answering, stopped, gone, or not reading), it returns within 7 s: what the
 * daemon has not taken after 5 s is abandoned. Only a start or stop in
 * progress at that moment, in any process, can make it wait longer. */
LUMO_EXPORT void lumo_shutdown(void) LUMO_NOEXCEPT;

/* As lumo_shutdown, abandoning what is still queued instead of writing it
 * (a message already half written is given the same 5 s to finish); it too
 * returns within 7 s. */
LUMO_EXPORT void lumo_shutdown_nowait(void) LUMO_NOEXCEPT;

/* Stores in *out a copy of the instance name the daemon reported, waiting up
 * to 10 s for the connection; NULL when the library is not started, the
 * connection is not up then or the daemon named none. The caller frees the
 * copy. A NULL out is ignored. */
LUMO_EXPORT void lumo_get_instancename(char **out) LUMO_NOEXCEPT;

/* Always stores NULL in *out (tiers are not used). */
LUMO_EXPORT void lumo_get_tiername(char **out) LUMO_NOEXCEPT;

/* Publishes one notification with one call: starts the library if this
 * process has not (configuration from the environment, as lumo_init), makes
 * a publisher for `component` that waits up to 5 s for the daemon, publishes
 * `n`, closes the publisher and ends its start again, writing out what is
 * queued. The library is left as it was found: stopped, or running with the
 * same count. Returns 0 when `n` was handed over (the library then owns it;
 * as with lumo_publisher_publish, a send queue that stays full drops it and
 * counts it); -1 when `component` or `n` is NULL, the configuration is
 * missing, the library cannot start or the daemon was not reached within the
 * 5 s (then `n` stays the caller's). */
LUMO_EXPORT int32_t lumo_one_time_publish(const char *component, lumo_notification *n) LUMO_NOEXCEPT;

/* Publishing to another machine is not supported: always -1, whatever the
 * arguments, with no effect. */
LUMO_EXPORT int32_t lumo_one_time_remote_publish(const char *host, int32_t port,
                                                 const char *component,
                                                 lumo_notification *n) LUMO_NOEXCEPT;

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

/* Returns the class: 0 MessageNotification, 1 MembershipListNotification,
 * 2 MembershipDeltaNotification, 3 OutgoingStreamingNotification,
 * 4 IncomingStreamingNotification, 5 StateGetNotification,
 * 6 StateSetNotification, 7 LeaveGroupNotification, 8 anything else;
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
 * Publishers: send notifications to the daemon under a component name.
 * Publishing is fire-and-forget; the library owns a published notification.
 * After the last lumo_shutdown every publisher and subscriber handle is
 * released and must not be used again. lumo_shutdown must not run while
 * other threads are still inside calls on the library's handles.
 * ---------------------------------------------------------------------- */

/* Returns a new publisher for `component`, waiting up to 5 s for the daemon
 * connection first (and working without it: notifications then wait in the
 * library). NULL when the library is not started, `component` is NULL or
 * memory runs out. */
LUMO_EXPORT lumo_publisher *lumo_publisher_create(const char *component) LUMO_NOEXCEPT;

/* Gives `n` a process-unique identifier and the generating component, node
 * and process (once: a notification published again keeps them) and queues
 * it for the daemon. From then on the library owns `n`: do not use or free
 * it. An OutgoingStreamingNotification (class 3) is not sent: it becomes the
 * head of an outgoing stream (see lumo_notification_getOutputStream). With a
 * NULL argument or a library that is not started nothing happens and `n`
 * stays the caller's. The send queue is bounded: when it stays full (a slow
 * or absent daemon), the call waits for room, 2 s by default, and then drops
 * `n` and counts it (see lumo_get_process_counters for both limits). */
LUMO_EXPORT void lumo_publisher_publish(lumo_publisher *publisher, lumo_notification *n) LUMO_NOEXCEPT;

/* Frees the publisher; notifications it published still go out. NULL is
 * ignored. */
LUMO_EXPORT void lumo_publisher_close(lumo_publisher *publisher) LUMO_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Subscribers: receive the notifications that match a subscription.
 * ---------------------------------------------------------------------- */

/* Creates a subscriber and waits for the daemon to accept its subscription.
 * `subscription` is the daemon's filter text (NULL: everything); `component`
 * names the subscriber and must not be NULL; `mbrInterest` names a group to
 * join (NULL: none); `properties` is copied (NULL: none). If `status` is not
 * NULL it receives NULL or the daemon's message (the caller frees it).
 * Returns NULL when the library is not started, `component` is NULL, memory
 * runs out or the daemon refused. Waits without limit while the daemon is
 * unreachable. */
LUMO_EXPORT lumo_subscriber *lumo_subscriber_create(const char *subscription,
                                                    const char *component,
                                                    const char *mbrInterest,
                                                    const lumo_proplist *properties,
                                                    char **status) LUMO_NOEXCEPT;

/* As lumo_subscriber_create, asking for membership changes (deltas) too. */
LUMO_EXPORT lumo_subscriber *lumo_subscriber_create_wdeltas(const char *subscription,
                                                            const char *component,
                                                            const char *mbrInterest,
                                                            const lumo_proplist *properties,
                                                            char **status) LUMO_NOEXCEPT;

/* As lumo_subscriber_create, waiting at most `timeoutMs` milliseconds when
 * it is above 0; when the time runs out the result is NULL and *status is
 * "timedout". */
LUMO_EXPORT lumo_subscriber *lumo_subscriber_create_wtimeout(const char *subscription,
                                                             const char *component,
                                                             const char *mbrInterest,
                                                             const lumo_proplist *properties,
                                                             char **status,
                                                             int32_t timeoutMs) LUMO_NOEXCEPT;

/* As lumo_subscriber_create without waiting: collect the answer with
 * lumo_subscriber_status. Until then waiting receives return NULL. */
LUMO_EXPORT lumo_subscriber *lumo_subscriber_create_async(const char *subscription,
                                                          const char *component,
                                                          const char *mbrInterest,
                                                          const lumo_proplist *properties) LUMO_NOEXCEPT;

/* The answer to an asynchronous creation: 1 while pending; 0 when accepted
 * (and on every later call); 2 when refused, with the daemon's message in
 * *status (the caller frees it; NULL when there was none). 2 for NULL. */
LUMO_EXPORT int32_t lumo_subscriber_status(lumo_subscriber *subscriber, char **status) LUMO_NOEXCEPT;

/* Unsubscribes and closes: a receive waiting on it returns NULL, queued
 * notifications and those received but not relinquished are destroyed (the
 * last only once callback threads inside the subscriber have left). Call it
 * once; the handle is invalid afterwards. NULL is ignored. */
LUMO_EXPORT void lumo_subscriber_close(lumo_subscriber *subscriber) LUMO_NOEXCEPT;

/* The identifier by which the daemon knows the subscriber (1, 2, 3 ... in
 * creation order, never reused while the library runs); -1 for NULL. */
LUMO_EXPORT int32_t lumo_subscriber_id(const lumo_subscriber *subscriber) LUMO_NOEXCEPT;

/* The texts given at creation (the subscriber's own copies); NULL for NULL. */
LUMO_EXPORT const char *lumo_subscriber_subscription(const lumo_subscriber *subscriber) LUMO_NOEXCEPT;
LUMO_EXPORT const char *lumo_subscriber_component(const lumo_subscriber *subscriber) LUMO_NOEXCEPT;

/* The subscriber's own publisher: notifications published through it carry
 * the subscriber's identifier. Owned by the subscriber; NULL for NULL. */
LUMO_EXPORT lumo_publisher *lumo_subscriber_getPublisher(const lumo_subscriber *subscriber) LUMO_NOEXCEPT;

/* Names the subscriber (a copy is kept; NULL clears the name). */
LUMO_EXPORT void lumo_subscriber_setName(lumo_subscriber *subscriber, const char *name) LUMO_NOEXCEPT;

/* The name, or the identifier in decimal when none was set; NULL for NULL.
 * Not to be called concurrently with setName or close. */
LUMO_EXPORT const char *lumo_subscriber_getName(lumo_subscriber *subscriber) LUMO_NOEXCEPT;

/* Takes the next notification delivered to the subscriber: `wait` 0 only
 * looks; `wait` 1 waits at most `timeoutMs` when it is above 0, else without
 * limit. NULL when there is none, the subscriber is closed meanwhile, or an
 * asynchronous answer is still to be collected (waiting receives only). The
 * notification stays the subscriber's: give it back with
 * lumo_subscriber_relinquish. */
LUMO_EXPORT lumo_notification *lumo_subscriber_receive(lumo_subscriber *subscriber, int32_t wait,
                                                       int32_t timeoutMs) LUMO_NOEXCEPT;

/* Gives a received notification back and destroys it. A notification the
 * subscriber does not hold (one the caller made, say) is destroyed all the
 * same. Each notification is given back at most once. */
LUMO_EXPORT void lumo_subscriber_relinquish(lumo_subscriber *subscriber,
                                            lumo_notification *n) LUMO_NOEXCEPT;

typedef void (*lumo_subscriber_callback)(lumo_notification *notification, void *context);

/* Calls `callback(notification, context)` on a library thread for every
 * delivered notification: in mode 0 one thread takes them in order from the
 * delivery queue (competing with receives); in mode 1 each notification gets
 * a thread of its own, so calls may overlap; any other mode starts no thread.
 * After the callback returns the notification is destroyed unless the
 * callback relinquished it. Callbacks run without library locks held and may
 * receive, relinquish, publish or cancel. Returns 0, or -1 for a NULL
 * subscriber or callback or when a callback is already registered. */
LUMO_EXPORT int32_t lumo_subscriber_registercallback(lumo_subscriber *subscriber,
                                                     lumo_subscriber_callback callback,
                                                     void *context, int32_t mode) LUMO_NOEXCEPT;

/* Cancels the callback; a call in progress runs to its end and the mode-0
 * thread ends within a second. Returns 0, or -1 for NULL or when none is
 * registered. */
LUMO_EXPORT int32_t lumo_subscriber_cancelcallback(lumo_subscriber *subscriber) LUMO_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Subscriber lists: wait for the first of several subscribers to have
 * something to receive. A subscriber belongs to one list at most and stays
 * in it until it is closed. A list may be destroyed while it has members; it
 * goes when the last of them has left (by close or by its next delivery).
 * ---------------------------------------------------------------------- */

/* Returns a new empty list, or NULL when out of memory. */
LUMO_EXPORT lumo_subscriberlist *lumo_subscriberlist_create(void) LUMO_NOEXCEPT;

/* Appends `subscriber` to the list. Ignored when either is NULL, the list is
 * destroyed, the subscriber is closed or it already belongs to a list (this
 * one or another). A member with notifications already waiting is reported
 * by the next lumo_subscriber_multirecv. */
LUMO_EXPORT void lumo_subscriberlist_add(lumo_subscriberlist *list,
                                         lumo_subscriber *subscriber) LUMO_NOEXCEPT;

/* Destroys the list held in *list and sets *list to NULL. Threads waiting in
 * lumo_subscriber_multirecv on it return (NULL, or a member already ready).
 * The members stay open; the list's memory goes once every member has left
 * and every waiter has returned. A NULL address or handle is ignored. No
 * thread may start a new call on the list once it is destroyed. */
LUMO_EXPORT void lumo_subscriberlist_destroy(lumo_subscriberlist **list) LUMO_NOEXCEPT;

/* Returns a member that has something to receive (take it with
 * lumo_subscriber_receive): the member delivered to first since the last
 * call, else the first member in adding order with notifications waiting (the
 * same one again while it is not received from). With none, `wait` 0
 * returns NULL at once; `wait` 1 sleeps once, at most `timeoutMs` when it is
 * above 0, else until a delivery, the last member's close or the list's
 * destruction, and returns the member delivered to or NULL. An empty list
 * gives NULL at once. When several threads wait, one delivery goes to one of
 * them and the others get NULL. NULL for a NULL list. */
LUMO_EXPORT lumo_subscriber *lumo_subscriber_multirecv(lumo_subscriberlist *list, int32_t wait,
                                                       int32_t timeoutMs) LUMO_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Streams: a sequence of byte blocks from one publisher to the subscribers of
 * a type. Sending: create a stream head, publish it once (which sends nothing
 * and binds it to the publisher, which must stay open until the stream is
 * closed), get its output stream and write; every write is one event, and
 * closing sends the end. Receiving: the first event of a stream is received
 * like any notification; its input stream yields every block in order and
 * then the end. Blocks are never split or merged on the way.
 * ---------------------------------------------------------------------- */

/* Returns a new stream head (class 3, OutgoingStreamingNotification) with a
 * copy of `type`, no body and no properties; NULL when `type` is NULL or
 * memory runs out. The head's type, properties and affected texts are copied
 * into every block. */
LUMO_EXPORT lumo_notification *lumo_notification_createstream(const char *type) LUMO_NOEXCEPT;

/* Returns the input stream of the first notification of a received stream,
 * which the caller must close with lumo_instream_close once done (the stream
 * outlives the notification and the subscriber until then); NULL for any
 * other notification and for NULL. */
LUMO_EXPORT lumo_instream *lumo_notification_getInputStream(const lumo_notification *n) LUMO_NOEXCEPT;

/* Returns the output stream of a stream head, made on the first call and the
 * same on every later one; it belongs to the head until lumo_outstream_close.
 * NULL for NULL, for a notification of any other class, or out of memory. */
LUMO_EXPORT lumo_outstream *lumo_notification_getOutputStream(lumo_notification *n) LUMO_NOEXCEPT;

/* Reads up to `length` bytes into `buffer`: waits only until the first byte
 * (or the end) is there, then takes whatever else has already arrived, up to
 * `length`. Returns the number of bytes read; 0 at the end of the stream (and
 * on every later call), for a NULL stream or buffer, a `length` below 1, or
 * when the stream was cut off by its subscriber's close. One thread reads a
 * stream at a time. */
LUMO_EXPORT int32_t lumo_instream_read(lumo_instream *stream, void *buffer,
                                       int32_t length) LUMO_NOEXCEPT;

/* Gives up the input stream held in *stream and sets *stream to NULL; blocks
 * still to come are dropped. A NULL address or handle is ignored. */
LUMO_EXPORT void lumo_instream_close(lumo_instream **stream) LUMO_NOEXCEPT;

/* Sends `length` bytes (copied) as one block. Returns `length`; 0 when
 * refused (NULL stream or data, `length` below 1, or a head that was never
 * published, so that there is nothing to send through); -1 when memory runs
 * out (the stream stays usable). */
LUMO_EXPORT int32_t lumo_outstream_write(lumo_outstream *stream, const void *data,
                                         int32_t length) LUMO_NOEXCEPT;

/* Returns 0 and does nothing: every write is handed on at once. */
LUMO_EXPORT int32_t lumo_outstream_flush(lumo_outstream *stream) LUMO_NOEXCEPT;

/* Sends the end of the stream, destroys the head notification (do not use it
 * afterwards), frees the output stream held in *stream and sets *stream to
 * NULL. A NULL address or handle is ignored. */
LUMO_EXPORT void lumo_outstream_close(lumo_outstream **stream) LUMO_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Portability: condition variables and threads, the primitives every wait
 * and every thread of the library is built on, offered to applications too.
 * The lock that goes with a condition variable is the caller's own
 * pthread_mutex_t, held by the caller around every wait.
 * ---------------------------------------------------------------------- */

/* The manual-reset event inside a condition variable (opaque). */
struct lumox_win32_event;

/* A condition variable. The caller owns the record (zeroed or not) and hands
 * it to lumox_win32_cond_init; the record owns its lock and event. The
 * counters are read and written only with `lock` held. */
typedef struct lumox_win32_cond_t {
    int32_t waiters;   /* threads inside a wait */
    int32_t released;  /* waiters released that have not left their wait yet */
    uint32_t generation;             /* counts signals and broadcasts that released someone */
    pthread_mutex_t *lock;           /* internal lock; NULL when init failed or after destroy */
    struct lumox_win32_event *event; /* signalled while `released` is above 0 */
} lumox_win32_cond_t;

/* Makes `cond` usable: counters 0, a new internal lock and event. Returns 0,
 * or -1 when `cond` is NULL or the lock or the event cannot be created (the
 * record then holds nothing and every operation on it does nothing). */
LUMO_EXPORT int32_t lumox_win32_cond_init(lumox_win32_cond_t *cond) LUMO_NOEXCEPT;

/* Releases the internal lock and event, not the record. No thread may wait
 * on `cond` any more. NULL, and a record whose init failed, are ignored. */
LUMO_EXPORT void lumox_win32_cond_destroy(lumox_win32_cond_t *cond) LUMO_NOEXCEPT;

/* Releases `mutex` (held once by the caller), sleeps until a signal or
 * broadcast issued after this call began releases this thread, and takes
 * `mutex` again before returning. Wake-ups may be spurious from the caller's
 * point of view: re-check your own state. With a NULL or unusable `cond` or
 * a NULL `mutex` it returns at once without touching `mutex`. */
LUMO_EXPORT void lumox_win32_cond_wait(lumox_win32_cond_t *cond, pthread_mutex_t *mutex) LUMO_NOEXCEPT;

/* As lumox_win32_cond_wait, waiting about `timeoutMs` milliseconds for a
 * release; a waiter that was woken but may not pass waits the full time-out
 * again. Returns 1 when it timed out (also at once for a NULL or unusable
 * `cond` or a NULL `mutex`), 0 when it was released. */
LUMO_EXPORT int32_t lumox_win32_cond_timedwait(lumox_win32_cond_t *cond, pthread_mutex_t *mutex,
                                               uint32_t timeoutMs) LUMO_NOEXCEPT;

/* Releases one waiter that is not released yet; does nothing when there is
 * none, and is not remembered for later waiters. May be called with or
 * without the caller's mutex held. NULL is ignored. */
LUMO_EXPORT void lumox_win32_cond_signal(lumox_win32_cond_t *cond) LUMO_NOEXCEPT;

/* Releases every thread waiting at the moment of the call. NULL is ignored. */
LUMO_EXPORT void lumox_win32_cond_broadcast(lumox_win32_cond_t *cond) LUMO_NOEXCEPT;

/* Starts a joinable thread running routine(arg) with the default stack size.
 * Returns its handle, which exactly one lumox_win32_thread_join must release,
 * or NULL (nothing started, nothing left allocated) when `routine` is NULL,
 * memory runs out or the system refuses the thread. */
LUMO_EXPORT lumox_win32_thread_t *lumox_win32_thread_createattached(void (*routine)(void *),
                                                                   void *arg) LUMO_NOEXCEPT;

/* Starts a thread running routine(arg) that nobody joins; it cleans up after
 * itself. Returns an identifier of the thread, or UINTPTR_MAX (all bits set)
 * when `routine` is NULL, memory runs out or the system refuses the thread. */
LUMO_EXPORT uintptr_t lumox_win32_thread_createdetached(void (*routine)(void *),
                                                        void *arg) LUMO_NOEXCEPT;

/* Waits until the thread's routine has returned, then releases the handle
 * (which must not be used again). If `result` is not NULL, NULL is stored in
 * it: the routine's outcome is not passed on. A NULL thread only stores. */
LUMO_EXPORT void lumox_win32_thread_join(lumox_win32_thread_t *thread, void **result) LUMO_NOEXCEPT;

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

/* ========================================================================
 * Extensions: additions to the interface above. Nothing here changes what
 * a call above does.
 * ====================================================================== */

/* Failure results of every call, in one place (each call's own comment above
 * says the same at more length). "NULL arg" means a NULL handle or a NULL
 * text or buffer the call needs. A result code means something only for the
 * call that gave it: -1 and -2 stand for different things in different calls
 * (compare lumo_init and lumo_notification_setProperty), so there is no
 * library-wide code-to-text table.
 *
 *  call                               result   meaning
 *  ---------------------------------  -------  -------------------------------
 *  lumo_init, lumo_init_with_port,    0        started
 *  lumo_init_wtamrixhome              -1       home or port missing or invalid
 *                                              (reason on standard error)
 *                                     -2       the system refused a resource
 *                                     -3       already started; counted, so
 *                                              it needs its lumo_shutdown too
 *  lumo_one_time_publish              -1       NULL arg, no configuration,
 *                                              cannot start, or daemon not
 *                                              reached within 5 s; `n` stays
 *                                              the caller's
 *  lumo_one_time_remote_publish       -1       always (not supported)
 *  lumo_get_instancename              *out=NULL  not started, link not up
 *                                              within 10 s, or no name
 *  lumo_get_tiername                  *out=NULL  always
 *  lumo_proplist_create, lumo_bb_create,
 *  lumo_subscriberlist_create         NULL     out of memory
 *  lumo_proplist_put                  NULL     NULL arg or out of memory;
 *                                              the list is unchanged
 *  lumo_proplist_get                  NULL     no such name, or NULL arg
 *  lumo_proplist_getIndex             NULL     index outside 0..count-1 or
 *                                              NULL list
 *  lumo_proplist_count                0        empty or NULL list
 *  lumo_notification_create           NULL     NULL type, NULL body with a
 *                                              positive length, out of memory
 *  lumo_notification_createstream     NULL     NULL type or out of memory
 *  lumo_notification_setProperty      -1       name or value held a forbidden
 *                                              character: stored, with a
 *                                              fixed error text in its place
 *                                     -2       NULL arg or out of memory;
 *                                              nothing stored
 *  lumo_notification_getProperty      NULL     no such name, or NULL arg
 *  lumo_notification_getAllProperties NULL, *count=0  no properties, NULL
 *                                              notification or out of memory
 *  lumo_notification_<header text>    NULL     text absent or NULL
 *                                              notification
 *  lumo_notification_getClass         8        NULL (or an unknown class)
 *  lumo_notification_creationTime,
 *  _deliveryTime, _localOnly          0        NULL notification
 *  lumo_notification_body             NULL     no body, or NULL notification
 *                                              (*length then untouched)
 *  lumo_notification_toString         NULL     out of memory only
 *  lumo_notification_getInputStream   NULL     not the first notification of
 *                                              a received stream, or NULL
 *  lumo_notification_getOutputStream  NULL     not a stream head (class 3),
 *                                              NULL, or out of memory
 *  lumo_publisher_create              NULL     not started, NULL component,
 *                                              or out of memory
 *  lumo_subscriber_create,            NULL     not started, NULL component,
 *  _wdeltas, _wtimeout                         out of memory, or the daemon
 *                                              refused (its message in
 *                                              *status); _wtimeout also on
 *                                              time-out (*status "timedout")
 *  lumo_subscriber_create_async       NULL     not started, NULL component,
 *                                              or out of memory (a refusal
 *                                              comes later, from _status)
 *  lumo_subscriber_status             1        still pending
 *                                     2        refused (message in *status),
 *                                              or NULL subscriber
 *  lumo_subscriber_id                 -1       NULL subscriber
 *  lumo_subscriber_subscription,
 *  _component, _getPublisher,
 *  _getName                           NULL     NULL subscriber
 *  lumo_subscriber_receive            NULL     nothing there in time, closed
 *                                              meanwhile, asynchronous answer
 *                                              not yet collected, or NULL
 *  lumo_subscriber_multirecv          NULL     no member ready in time, empty
 *                                              or destroyed list, or NULL
 *  lumo_subscriber_registercallback   -1       NULL subscriber or callback,
 *                                              or one already registered
 *  lumo_subscriber_cancelcallback     -1       NULL, or none registered
 *  lumo_instream_read                 0        end of stream, cut off by the
 *                                              subscriber's close, NULL stream
 *                                              or buffer, or length below 1
 *  lumo_outstream_write               0        refused: NULL stream or data,
 *                                              length below 1, head never
 *                                              published, or library not
 *                                              started
 *                                     -1       out of memory (still usable)
 *  lumo_outstream_flush               0        always
 *  lumo_bb_getsegment(s),
 *  lumo_bb_seg_getsegment(s),
 *  lumo_bb_seg_getelements            NULL     no such segment, or NULL arg
 *  lumo_bb_addsegment,
 *  lumo_bb_seg_addsegment             NULL     NULL arg or out of memory
 *  lumo_bb_seg_getelement             NULL     no such element, or NULL arg
 *  lumo_bb_seg_addelement(_b)         NULL     NULL arg, out of memory, or
 *                                              (_b) a length below -1
 *  lumo_bb_*_getname, _getvalue,
 *  _getfirst, _getnext                NULL     NULL arg; NULL also ends a list
 *  lumo_bb_block2body                 NULL     NULL length slot, out of
 *                                              memory, or too large or deep
 *                                              for the format
 *  lumo_bb_body2block                 NULL     NULL body, under 12 bytes,
 *                                              wrong signature, out of memory
 *  lumo_bb_toString                   NULL     NULL or segment-less block, or
 *                                              out of memory
 *  lumo_subscriber_get_counters,
 *  lumo_subscriber_set_limits         -1       NULL subscriber or `out`, or
 *                                              library not started
 *  lumo_set_flow_handler              -1       library not started
 *  lumox_win32_cond_init              -1       NULL cond, or lock or event
 *                                              not created
 *  lumox_win32_cond_timedwait         1        timed out (also NULL/unusable
 *                                              cond or NULL mutex)
 *  lumox_win32_thread_createattached  NULL     NULL routine, no memory, or
 *                                              the system refused the thread
 *  lumox_win32_thread_createdetached  UINTPTR_MAX  as above
 *  lumo_get_process_counters          -1       NULL out, or library not
 *                                              started (*out untouched)
 *  lumo_version                       never fails
 *
 * The calls not listed return nothing; they ignore NULL handles. */

/* The version of this header. VAVEVAR_VERSION is one comparable number,
 * major * 10000 + minor * 100 + patch, for preprocessor tests such as
 * #if VAVEVAR_VERSION >= 100. The build checks these equal the project's
 * version, so they are never edited on their own. */
#define VAVEVAR_VERSION_MAJOR 0
#define VAVEVAR_VERSION_MINOR 1
#define VAVEVAR_VERSION_PATCH 0
#define VAVEVAR_VERSION                                                        \
    (VAVEVAR_VERSION_MAJOR * 10000 + VAVEVAR_VERSION_MINOR * 100 +             \
     VAVEVAR_VERSION_PATCH)

/* Returns the version of the library the program runs with, as
 * "major.minor.patch" (a static text, never NULL). It can differ from the
 * VAVEVAR_VERSION_* macros the program was compiled with when a newer or
 * older shared library is found at run time. */
LUMO_EXPORT const char *lumo_version(void) LUMO_NOEXCEPT;

/* Flow control: what the library dropped, what the daemon skipped, and the link. */
enum {
    LUMO_FLOW_DROPPED = 1,      /* a subscriber's notifications dropped in this process */
    LUMO_FLOW_GAP = 2,          /* the daemon skipped notifications for a subscriber */
    LUMO_FLOW_LINK_DOWN = 3,    /* the link to the daemon was lost */
    LUMO_FLOW_LINK_UP = 4,      /* the link is up again (handshake done) */
    LUMO_FLOW_SEND_DROPPED = 5  /* notifications dropped at publish: the send queue stayed full */
};

/* What happened to one subscriber's notifications since it was created.
 * received: delivered to it (queued for receive or a callback, or the first
 * block of a stream); dropped: refused in this process because its bound was
 * reached (see lumo_subscriber_set_limits), stream blocks included;
 * dropped_by_daemon: what the daemon's gap notices said it skipped;
 * duplicates: replayed events after a reconnection that it already had, and
 * dropped for that. */
typedef struct lumo_subscriber_counters {
    uint64_t received;
    uint64_t dropped;
    uint64_t dropped_by_daemon;
    uint64_t duplicates;
} lumo_subscriber_counters;

/* Fills *out with the subscriber's counters. Returns 0, or -1 for a NULL
 * argument or when the library is not started. */
LUMO_EXPORT int32_t lumo_subscriber_get_counters(lumo_subscriber *subscriber,
                                                 lumo_subscriber_counters *out) LUMO_NOEXCEPT;

/* Bounds what the subscriber holds delivered and not yet taken by receive or
 * a callback: at most `max_messages` notifications and about `max_bytes`
 * bytes (body and texts). A value of 0 or below keeps that bound as it is.
 * The process's defaults are 65536 and 64 MiB, or the environment variables
 * VAVEVAR_SUB_MAX_MESSAGES and VAVEVAR_SUB_MAX_BYTES as read when the
 * library starts. Past a bound new notifications for this subscriber are
 * dropped and counted; the other subscribers go on. An incoming stream is
 * cut when its unread blocks would pass the bound: its reader sees the end
 * early and the blocks count as dropped. Returns 0, or -1 for a NULL
 * subscriber or when the library is not started. */
LUMO_EXPORT int32_t lumo_subscriber_set_limits(lumo_subscriber *subscriber, int64_t max_messages,
                                               int64_t max_bytes) LUMO_NOEXCEPT;

/* Told of flow events as they happen: `kind` is a LUMO_FLOW_* value,
 * `subscriber` the one concerned (NULL for link and send events) and `count`
 * how many notifications (1 for link events). Drops are told once per burst
 * with the burst's count. The handler runs on one library thread, with no
 * library lock held; it may call the library, including closing the
 * subscriber it is told of. */
typedef void (*lumo_flow_handler)(int32_t kind, lumo_subscriber *subscriber /* NULL for link and send events */,
                                  uint64_t count, void *context);

/* Sets the flow handler (NULL removes it). Once this returns, the handler it
 * replaced is not running and will not be called again (unless this is
 * called from inside that handler, which then returns first); after
 * lumo_shutdown returns no handler is called. Events that happen with no
 * handler set are not kept. Returns 0, or -1 when the library is not
 * started. */
LUMO_EXPORT int32_t lumo_set_flow_handler(lumo_flow_handler handler, void *context) LUMO_NOEXCEPT;

/* The sending side of this process, counted from its lumo_init (a later
 * start after the last shutdown counts from zero again).
 *
 * lumo_publisher_publish queues what it is given for the daemon. The queue
 * holds at most VAVEVAR_SEND_MAX_BYTES bytes (default 64 MiB, read at
 * start-up), counted as the memory the queued notifications take; one
 * notification larger than that is taken when nothing else is queued. When it
 * is full, a publish waits up to VAVEVAR_SEND_WAIT_MS milliseconds (default
 * 2000, at most 60000; 0: no wait) for room and then drops the notification:
 * it is destroyed, counted in dropped_at_send and reported to the flow
 * handler as LUMO_FLOW_SEND_DROPPED. A notification published while the
 * library is stopping is dropped and counted in the same way. The bound holds
 * whether the daemon is slow or gone; what was queued is never dropped for
 * want of room (only a shutdown abandons it, as described there) and goes out
 * in order once the link is up again. Subscription requests are never
 * dropped and do not count against the bound.
 *
 * published: notifications handed to lumo_publisher_publish (the blocks of
 * an output stream included, stream heads not), dropped ones included, so
 * published - dropped_at_send were queued. reconnects: handshakes after the
 * first. send_queue_bytes: what the queue holds now (including what is being
 * written). link_up: 1 while the link to the daemon is past its handshake. */
typedef struct lumo_process_counters {
    uint64_t published;
    uint64_t dropped_at_send;
    uint64_t reconnects;
    uint64_t send_queue_bytes;
    int32_t link_up;
} lumo_process_counters;

/* Fills *out; 0, or -1 for a NULL out or when the library is not started. */
LUMO_EXPORT int32_t lumo_get_process_counters(lumo_process_counters *out) LUMO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VAVEVAR_H */
