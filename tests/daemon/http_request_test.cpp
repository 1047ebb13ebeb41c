// The monitoring endpoint's request parser, without sockets: any split of a
// valid head, what makes a head malformed, and the bound on what it keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http_request.h"

namespace vavevard {
namespace {

using Status = HttpRequestParser::Status;

// Feeds `bytes` in pieces of `step` (0: at once); the status after the last.
Status feed_in_pieces(HttpRequestParser &p, const std::string &bytes, std::size_t step = 0) {
    if (step == 0) return p.feed(bytes);
    Status s = Status::need_more;
    for (std::size_t at = 0; at < bytes.size(); at += step) s = p.feed(std::string_view(bytes).substr(at, step));
    return s;
}

TEST(HttpRequestParser, AHeadIsReadWholeAtAnySplitAndWhatFollowsItIsIgnored) {
    const std::string head =
        "GET /metrics?name=x HTTP/1.1\r\nHost: 127.0.0.1:9\r\nUser-Agent: t\r\nAccept:*/*\r\n\r\n";
    for (std::size_t step : {0, 1, 2, 3, 7, 64}) {
        HttpRequestParser p;
        ASSERT_EQ(feed_in_pieces(p, head + "trailing junk \r\n\r\n", step), Status::ready) << step;
        EXPECT_EQ(p.request().method, "GET");
        EXPECT_EQ(p.request().target, "/metrics?name=x");
        EXPECT_EQ(p.request().path, "/metrics");
        EXPECT_EQ(p.request().minorVersion, 1);
        EXPECT_FALSE(p.request().hasBody);
        EXPECT_EQ(p.held(), 0u) << "nothing kept once the head is parsed";
    }
    // Until the empty line the head is incomplete, however it is cut.
    for (std::size_t cut = 0; cut < head.size(); ++cut) {
        HttpRequestParser p;
        EXPECT_EQ(p.feed(std::string_view(head).substr(0, cut)), Status::need_more) << cut;
    }
}

TEST(HttpRequestParser, BareLineFeedsLeadingBlankLinesAbsoluteTargetsAndOldVersionsAreServed) {
    struct Case {
        std::string bytes, method, path;
        int minor;
        bool body;
    } cases[] = {
        {"GET /stats HTTP/1.1\nHost: a\n\n", "GET", "/stats", 1, false},
        {"\r\n\r\nHEAD /stats HTTP/1.1\r\nhost: a\r\n\r\n", "HEAD", "/stats", 1, false},
        {"GET http://localhost:9100/metrics HTTP/1.1\r\nHost: a\r\n\r\n", "GET", "/metrics", 1, false},
        {"GET http://localhost HTTP/1.1\r\nHost: a\r\n\r\n", "GET", "/", 1, false},
        {"GET /stats HTTP/1.0\r\n\r\n", "GET", "/stats", 0, false},  // 1.0 needs no Host
        {"POST /stats HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello", "POST", "/stats", 1, true},
        {"POST /stats HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", "POST", "/stats", 1, true},
        {"GET /stats#frag HTTP/1.1\r\nHost:\t a \t\r\n\r\n", "GET", "/stats", 1, false},
    };
    for (const Case &c : cases) {
        HttpRequestParser p;
        ASSERT_EQ(p.feed(c.bytes), Status::ready) << c.bytes << " -> " << p.error();
        EXPECT_EQ(p.request().method + " " + p.request().path, c.method + " " + c.path) << c.bytes;
        EXPECT_EQ(p.request().minorVersion, c.minor) << c.bytes;
        EXPECT_EQ(p.request().hasBody, c.body) << c.bytes;
    }
}

TEST(HttpRequestParser, AMalformedHeadIs400AndAnotherMajorVersion505AndBothAreFinal) {
    struct Case {
        std::string bytes;
        int status;
    } cases[] = {
        {"GET /stats\r\n\r\n", 400},
        {"GET  /stats HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET /stats HTTP/1.1 extra\r\nHost: a\r\n\r\n", 400},
        {"G(T /stats HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET stats HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET /st\x01ts HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET /stats HTTP/1.x\r\nHost: a\r\n\r\n", 400},
        {"GET /stats http/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET /stats HTTP/1.1\r\n\r\n", 400},                             // no Host
        {"GET /stats HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},       // two
        {"GET /stats HTTP/1.1\r\nHost: a\r\nNo colon\r\n\r\n", 400},
        {"GET /stats HTTP/1.1\r\nHost: a\r\nBad name: x\r\n\r\n", 400},
        {"GET /stats HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n", 400},
        {"GET /stats HTTP/1.1\r\nHost: a\r\nX: a\x7f\r\n\r\n", 400},
        {"GET /stats HTTP/1.1\r\nHost: a\rX: b\r\n\r\n", 400},            // bare CR
        {"GET /stats HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n", 400},
        {"GET /stats HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
        {"GET /stats HTTP/2.0\r\nHost: a\r\n\r\n", 505},
        {"GET /stats HTTP/0.9\r\nHost: a\r\n\r\n", 505},
    };
    for (const Case &c : cases) {
        HttpRequestParser p;
        ASSERT_EQ(p.feed(c.bytes), Status::error) << c.bytes;
        EXPECT_EQ(p.status(), c.status) << c.bytes;
        EXPECT_FALSE(p.error().empty());
        EXPECT_EQ(p.feed("GET /stats HTTP/1.1\r\nHost: a\r\n\r\n"), Status::error) << "stays failed";
        EXPECT_EQ(p.held(), 0u);
    }
}

// A head may take the whole bound and no more; the parser never keeps more
// than the bound, however much arrives and in what pieces.
TEST(HttpRequestParser, AHeadOverTheBoundIs431AndTheParserNeverHoldsMoreThanIt) {
    constexpr std::size_t kBound = 256;
    const std::string start = "GET /stats HTTP/1.1\r\nHost: a\r\nX: ";
    const std::string end = "\r\n\r\n";
    const std::string fits = start + std::string(kBound - start.size() - end.size(), 'v') + end;
    ASSERT_EQ(fits.size(), kBound);
    for (std::size_t step : {0, 1, 5, 100}) {
        HttpRequestParser atBound(kBound), over(kBound);
        EXPECT_EQ(feed_in_pieces(atBound, fits, step), Status::ready) << step << ": " << atBound.error();
        std::string tooLong = start + std::string(kBound - start.size() - end.size() + 1, 'v') + end;
        EXPECT_EQ(feed_in_pieces(over, tooLong, step), Status::error) << step;
        EXPECT_EQ(over.status(), 431);
    }
    HttpRequestParser flood(kBound);
    std::size_t most = 0;
    Status s = Status::need_more;
    for (int i = 0; i < 1000 && s == Status::need_more; ++i) {
        s = flood.feed(std::string(50, 'x'));
        most = std::max(most, flood.held());
    }
    EXPECT_EQ(s, Status::error);
    EXPECT_EQ(flood.status(), 431);
    EXPECT_LE(most, 2 * kBound) << "bytes held (the string's capacity)";
    HttpRequestParser defaultBound;
    EXPECT_EQ(defaultBound.feed(std::string(kMaxHttpHeadBytes + 1, 'x')), Status::error);
    EXPECT_EQ(defaultBound.status(), 431);
}

}  // namespace
}  // namespace vavevard
