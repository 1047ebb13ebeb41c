// Drives the request parser with arbitrary bytes, cut into pieces at points
// chosen by the input itself, and passes whatever parses to the router, so
// that filters are compiled and evaluated, membership bodies built and events
// rendered from hostile input.
//
// The first byte picks the piece size (low six bits) and one of four sets of
// bounds (high two bits): small ones, the daemon's defaults, middling ones,
// and the defaults with tight bounds on what subscriptions keep. In the rest,
// "\xff\xfe" C X stands for the byte X repeated (C + 1) * 512 times, so lines
// at and over the daemon's 64 KiB bound, and large bodies, are reachable from
// inputs of a few hundred bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "log.h"
#include "request.h"
#include "router.h"

using namespace vavevard;

namespace {

constexpr std::size_t kRunUnit = 512;
constexpr std::size_t kMaxExpanded = 2u << 20;

Limits limits_for(int profile) {
    Limits l;  // profile 1: the daemon's own
    if (profile == 0) {
        l.maxLineBytes = 512;
        l.maxHeaderLines = 16;
        l.maxProperties = 8;
        l.maxBodyBytes = 4096;
        l.maxPendingBytes = 64 * 1024;
        l.maxSubscriptions = 8;
    } else if (profile == 2) {
        l.maxLineBytes = 4096;
        l.maxProperties = 64;
        l.maxBodyBytes = 64 * 1024;
        l.maxPendingBytes = 256 * 1024;
        l.maxSubscriptions = 16;
    } else if (profile == 3) {
        l.maxSubscriptions = 2;
        l.maxSubscriptionTextBytes = 256;
        l.maxMemberPropertyLine = 32;
        l.maxMemberPropertyBytes = 64;
        l.maxMemberListBytes = 512;
    }
    return l;
}

std::string expand(const std::uint8_t *data, std::size_t size) {
    std::string out;
    out.reserve(size);
    for (std::size_t i = 0; i < size && out.size() < kMaxExpanded; ++i) {
        if (data[i] == 0xff && i + 3 < size && data[i + 1] == 0xfe) {
            out.append((data[i + 2] + 1u) * kRunUnit, static_cast<char>(data[i + 3]));
            i += 3;
        } else {
            out.push_back(static_cast<char>(data[i]));
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static bool quiet = (set_log_level(LogLevel::error), true);
    (void)quiet;
    if (size == 0) return 0;

    Limits limits = limits_for(data[0] >> 6);
    // A replay window open throughout, so that held events and their replay
    // to a "Resubscribe: true" subscription see hostile input too.
    RouterConfig config{"fuzz", "fuzzhost:1", "vavevard fuzz", limits, ReplayWindow{3600 * 1000, 64 * 1024}, nullptr};
    Router router(config);
    ClientId a = router.add_client("a", 0u);  // root: the policy lets it do everything
    ClientId b = router.add_client("b", 0u);
    std::string why;
    router.handle(b, ConnectRequest{}, why);
    router.handle(b, SubscribeRequest{1, "null", "c", "g", true, {}, false}, why);

    // One input explores one split.
    std::size_t step = 1 + (data[0] & 63);
    std::string stream = expand(data + 1, size - 1);
    RequestParser parser(limits);
    for (std::size_t at = 0; at < stream.size(); at += step) {
        std::size_t n = stream.size() - at < step ? stream.size() - at : step;
        parser.feed(stream.data() + at, n);
        for (;;) {
            Request request;
            auto status = parser.next(request);
            if (status != RequestParser::Status::ready) break;
            if (!router.handle(a, std::move(request), why)) return 0;
        }
        if (!parser.error().empty()) return 0;
        // Between requests the parser keeps at most one unfinished line
        // (bodies go into the request as they come), whatever the input.
        if (parser.buffered() > limits.maxLineBytes + 1)
            __builtin_trap();
    }
    router.take_dirty();
    router.remove_client(a, "disconnected");
    return 0;
}
