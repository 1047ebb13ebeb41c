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
};

// An event rendered once for all its recipients. Only the subscriber id and
// the delivery time differ between recipients, so each gets a small head of
// its own and shares the tail, which holds the body.
class RenderedEvent {
public:
    // `instanceName` stands in when the publisher wrote none. The shared
    // tail, while it lives, is counted in `account` when one is given.
    RenderedEvent(const Notification &event, std::string_view instanceName,
                  const std::shared_ptr<MemoryAccount> &account = nullptr);

    // Width of the delivery time field: milliseconds since the epoch have 13
    // digits until the year 2286, and zero padding keeps the value a number.
    static constexpr std::size_t kDeliveryDigits = 13;

    // The head for one recipient, with the delivery time zeroed; the digits
    // start at `*deliveryOffset`.
    std::string head_for(std::int32_t subscriberId, std::size_t *deliveryOffset) const;
    const std::shared_ptr<const std::string> &tail() const noexcept { return tail_; }

private:
    std::string beforeId_;   // message line, className, "SubscriberID: "
    std::string afterId_;    // up to and including "deliveryTime: "
    std::shared_ptr<const std::string> tail_;  // after the delivery time, body included
};

// Writes `ms` as kDeliveryDigits zero-padded digits at `at`.
void write_delivery_digits(char *at, std::int64_t ms) noexcept;

}  // namespace vavevard
