// Drives the request parser with arbitrary bytes, cut into pieces at points
// chosen by the input itself, and passes whatever parses to the router, so
// that filters are compiled and evaluated, membership bodies built and events
// rendered from hostile input. Small limits make the bounds reachable.
#include <cstddef>
#include <cstdint>
#include <string>

#include "log.h"
#include "request.h"
#include "router.h"

using namespace vavevard;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static bool quiet = (set_log_level(LogLevel::error), true);
    (void)quiet;
    if (size == 0) return 0;

    Limits limits;
    limits.maxLineBytes = 512;
    limits.maxHeaderLines = 16;
    limits.maxProperties = 8;
    limits.maxBodyBytes = 4096;
    limits.maxPendingBytes = 64 * 1024;
    limits.maxSubscriptions = 8;
    RouterConfig config{"fuzz", "fuzzhost:1", "vavevard fuzz", limits};
    Router router(config);
    ClientId a = router.add_client("a");
    ClientId b = router.add_client("b");
    std::string why;
    router.handle(b, ConnectRequest{}, why);
    router.handle(b, SubscribeRequest{1, "null", "c", "g", true, {}}, why);

    // The first byte picks the piece size, so one input explores one split.
    std::size_t step = 1 + data[0] % 64;
    RequestParser parser(limits);
    for (std::size_t at = 1; at < size; at += step) {
        std::size_t n = size - at < step ? size - at : step;
        parser.feed(reinterpret_cast<const char *>(data) + at, n);
        for (;;) {
            Request request;
            auto status = parser.next(request);
            if (status != RequestParser::Status::ready) break;
            if (!router.handle(a, std::move(request), why)) return 0;
        }
        if (!parser.error().empty()) return 0;
    }
    router.take_dirty();
    router.take_doomed();
    router.remove_client(a, "disconnected");
    return 0;
}
