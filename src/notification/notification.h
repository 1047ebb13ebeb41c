// The notification record and its internal operations.
//
// A notification has no lock of its own: one thread owns it at a time (the
// application until it publishes, the sender while writing it, the receiving
// application after delivery).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vavevar.h"
#include "wire/notification_class.h"

namespace vavevar {

// The classes and their wire names are the protocol's (wire/notification_class.h).
using wire::NotificationClass;
using enum wire::NotificationClass;

inline constexpr char kIllegalPropertyName[] =
    "ILLEGAL PROPERTY NAME [Property name must not contain ':', '\\r', or '\\n']";
inline constexpr char kIllegalPropertyValue[] =
    "ILLEGAL PROPERTY VALUE [Property value must not contain '\\r' or '\\n']";

struct lumo_propnode {
    char *name;
    char *value;
    lumo_propnode *next;
};

// A notification's place in the list of those a subscriber has handed to
// the application and not yet had back; kept in the record, since it is in
// one such list at most, so that handing over and giving back allocate
// nothing and find their place at once. Guarded by the holder's lock.
struct HeldLink {
    lumo_subscriber *holder;  // null while not held
    lumo_notification *next;
    lumo_notification *previous;
};

}  // namespace vavevar

// Field order and names follow the record the rest of the library expects.
struct lumo_notification {
    std::int32_t notificationClass;
    char *type;
    char *stamp;
    char *affectedComponents;
    char *affectedNodes;
    std::int64_t deliveryTime;  // milliseconds
    char *generatingComponent;
    char *generatingNode;
    char *generatingProcess;
    char *id;
    std::int64_t creationTime;  // milliseconds
    char *instanceName;
    std::int32_t localOnly;
    vavevar::lumo_propnode *properties;  // newest first
    char *body;
    std::int32_t bodyLength;  // 0 or less: no body
    char *streamKey;
    lumo_publisher *streamPublisher;  // not owned
    lumo_instream *inputStream;       // not owned
    // Told when the notification that represents `inputStream` is destroyed:
    // the stream outlives it, and its owner must know it is the last holder.
    void (*inputStreamGone)(lumo_instream *stream) noexcept;
    lumo_outstream *outputStream;     // not owned
    std::int32_t subscriberId;
    // Texts that share an allocation are never freed on their own: the
    // record's block (this many bytes from its start) holds a created
    // notification's type, or a received one's header texts and properties
    // (lumo_notification_assemble); `stampBlock` holds the four texts that
    // publishing stamps. Whatever replaces one of them is owned apart.
    std::uint32_t blockSize;
    std::uint32_t stampBlockSize;
    char *stampBlock;
    // Room a created notification keeps in its block for the texts its
    // first stamp sets, so that publishing allocates nothing more.
    char *stampRoom;
    std::uint32_t stampRoomSize;
    vavevar::HeldLink held;
};

namespace vavevar {

// The texts of a notification read off the wire.
enum class NotificationText : std::uint8_t {
    type, affectedComponents, affectedNodes, generatingComponent, generatingNode,
    generatingProcess, id, instanceName, streamKey, count
};

// Where a reader kept them: NUL-ended, back to back in one buffer.
struct ReceivedTexts {
    std::size_t at[static_cast<std::size_t>(NotificationText::count)];  // offset + 1; 0: absent
    std::int32_t propertyCount;  // name, value pairs in the order received,
    std::size_t propertiesAt;    // the first name at this offset
};

// A notification with the scalar fields of `scalars` (its texts and
// properties are ignored) and the texts and properties `where` finds in
// `texts` (`size` bytes), in one allocation with the record; properties are
// kept newest first. Null when memory runs out. The record is destroyed and
// changed like any other: what replaces a text of the block is owned apart.
// With `bodyRoom` above 0 the block also has that many bytes of room for
// the body, returned in *room (the body is not set: the caller fills the
// room and then points `body` at it).
lumo_notification *lumo_notification_assemble(const lumo_notification &scalars, const char *texts,
                                              std::size_t size, const ReceivedTexts &where,
                                              std::size_t bodyRoom = 0, char **room = nullptr) noexcept;

// Null `type`, or a null `body` with a positive length, yields null. Checked
// here rather than at the C boundary because stream blocks are made from a
// head's type, which a head read off the wire may lack.
lumo_notification *lumo_notification_create(const char *type, const void *body,
                                            std::int32_t bodyLength) noexcept;

// Releases every owned text, the body and the properties. Of the stream
// references only the input stream is told (the notification was the
// stream's first and no longer keeps it); the others are left alone. Null is
// ignored.
void lumo_notification_destroy(lumo_notification *n) noexcept;

// REQUIRES: n, name and value are not null. Returns 0, -1 (a text was
// substituted) or -2 (no memory; the properties are unchanged).
std::int32_t lumo_notification_setProperty(lumo_notification *n, const char *name,
                                           const char *value) noexcept;

// REQUIRES: n and name are not null.
const char *lumo_notification_getProperty(const lumo_notification *n, const char *name) noexcept;

// REQUIRES: n is not null. `count` may be null.
lumo_property *lumo_notification_getAllProperties(const lumo_notification *n,
                                                  std::int32_t *count) noexcept;

// Whole seconds, truncated toward zero. REQUIRES: n is not null.
std::uint32_t lumo_notification_creationTime(const lumo_notification *n) noexcept;
std::int32_t lumo_notification_deliveryTime(const lumo_notification *n) noexcept;

// Null is ignored: the registry hands over a leave notice whose creation may
// have failed.
void lumo_notification_setClass(lumo_notification *n, std::int32_t cls) noexcept;

// Sets the generating fields and id to copies of the given texts, the
// creation time to -1 and the subscriber id. All or nothing: returns true, or
// false with the notification unchanged when memory runs out.
// REQUIRES: n is not null.
bool lumo_notification_stampForPublish(lumo_notification *n, const char *component,
                                       const char *node, const char *process, const char *id,
                                       std::int32_t subscriberId) noexcept;

// Binds the notification to an outgoing stream: keeps `publisher` and makes
// the stream key a copy of the id. Returns true, or false when memory runs
// out. REQUIRES: n is not null.
bool lumo_notification_setStream(lumo_notification *n, lumo_publisher *publisher) noexcept;

// Makes `n` represent `stream`; `gone` is called with it when `n` is destroyed.
void lumo_notification_setInputStream(lumo_notification *n, lumo_instream *stream,
                                      void (*gone)(lumo_instream *) noexcept) noexcept;
const char *lumo_notification_streamKey(const lumo_notification *n) noexcept;

// True for a non-null notification whose body is null or of length 0.
bool lumo_notification_hasNoBody(const lumo_notification *n) noexcept;

// Hands the body over to the caller as an allocation of its own (release
// with lumo_free; a body that shares the record's block is copied out),
// leaving the notification bodiless. Null, with the notification unchanged,
// when there is no body of length 1 or more (the notification is left
// bodiless then) or when the copy finds no memory (the body stays).
char *lumo_notification_takeBody(lumo_notification *n) noexcept;

}  // namespace vavevar
