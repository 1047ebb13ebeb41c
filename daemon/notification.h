// A notification as the daemon sees it: parsed from a client's "POST /event"
// request and written to subscribers in the layout their reader expects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "event_bytes.h"
#include "memory_account.h"
#include "wire/notification_class.h"

namespace vavevard {

// Classes and their wire names are the protocol's, so that both ends of the
// connection read them from one table: 0 to kClassCount-1 are routable.
using enum vavevar::wire::NotificationClass;
using vavevar::wire::class_from_name;
using vavevar::wire::class_name;
using vavevar::wire::is_full_form;
using vavevar::wire::kClassCount;

// One property line as a client wrote it. It is forwarded byte for byte, so a
// subscriber splits it exactly as the publisher's library joined it; name and
// value are the reader's split (first colon, value two characters later).
struct Property {
    std::string line;
    std::string_view name() const noexcept;
    std::string_view value() const noexcept;
};

struct Notification {
    std::int32_t cls = kMessageNotification;
    std::int32_t publisherSubscriberId = 0;
    std::string type;
    std::string id;
    std::string affectedComponents;
    std::string affectedNodes;
    std::string generatingComponent;
    std::string generatingProcess;
    std::string generatingNode;
    std::string instanceName;
    bool localOnly = false;
    std::vector<Property> properties;  // in wire order
    std::string streamKey;             // class 4 only
    std::string body;
    std::int64_t creationMs = 0;       // when the daemon received it

    // Empties every field as a new notification has them, keeping the
    // buffers of at most `keep` bytes for the next one to fill; returns the
    // heap bytes kept.
    std::size_t clear_keeping(std::size_t keep) noexcept;
};

// An event rendered once for all its recipients. Only the subscriber id and
// the delivery time differ between recipients, so each queues those of its
// own beside the shared bytes, which hold everything else, the body included.
class RenderedEvent {
public:
    // `instanceName` stands in when the publisher wrote none. The shared
    // bytes, while they live, are counted in `account` when one is given.
    RenderedEvent(const Notification &event, std::string_view instanceName,
                  const std::shared_ptr<MemoryAccount> &account = nullptr);

    // Width of the delivery time field: milliseconds since the epoch have 13
    // digits until the year 2286, and zero padding keeps the value a number.
    static constexpr std::size_t kDeliveryDigits = 13;

    const EventBytes &bytes() const noexcept { return bytes_; }

private:
    EventBytes bytes_;
};

// Writes `ms` as kDeliveryDigits zero-padded digits at `at`.
void write_delivery_digits(char *at, std::int64_t ms) noexcept;

}  // namespace vavevard
