#include "output_check.h"

#include <cstring>
#include <optional>

#include "notification.h"
#include "membership.h"
#include "vavevar.h"
#include "wire/bb_format.h"
#include "wire/control_texts.h"
#include "wire/event_texts.h"
#include "wire/flow_texts.h"

namespace vavevard::fuzz {
namespace {

namespace wire = vavevar::wire;

// Walks one message; `need_more` when the buffer ends inside it.
class Reader {
public:
    explicit Reader(std::string_view s) : s_(s) {}

    enum class Line { ok, need_more, bad };

    Line line(std::string_view &out) {
        std::size_t lf = s_.find('\n', at_);
        if (lf == std::string_view::npos) return Line::need_more;
        if (lf == at_ || s_[lf - 1] != '\r') {
            problem = "a line not ended by CR LF";
            return Line::bad;
        }
        out = s_.substr(at_, lf - 1 - at_);
        at_ = lf + 1;
        ++lineNo;
        return Line::ok;
    }

    bool bytes(std::size_t n, std::string_view &out) {
        if (s_.size() - at_ < n) return false;
        out = s_.substr(at_, n);
        at_ += n;
        return true;
    }

    std::size_t used() const noexcept { return at_; }

    std::string problem;
    int lineNo = 0;

private:
    std::string_view s_;
    std::size_t at_ = 0;
};

bool digits(std::string_view v, std::size_t min = 1, std::size_t max = 19) {
    if (v.size() < min || v.size() > max) return false;
    for (char c : v)
        if (c < '0' || c > '9') return false;
    return true;
}

bool integer(std::string_view v) {
    if (!v.empty() && v.front() == '-') v.remove_prefix(1);
    return digits(v, 1, 10);
}

std::optional<std::size_t> size_value(std::string_view v) {
    if (!digits(v, 1, 9)) return std::nullopt;
    std::size_t n = 0;
    for (char c : v) n = n * 10 + std::size_t(c - '0');
    return n;
}

// A membership body must be a well-formed body block to the last byte: the
// signature, then segment records whose levels go down at most one at a
// time, and element records inside segments (bb_format.h gives the layout).
// The library's decoder stops quietly at the first bad record, so its
// success alone would not tell. Names may repeat: the library keeps the
// last element of a name, which is a matter of meaning, not of framing.
std::string check_membership_body(std::string_view body) {
    using namespace vavevar::wire;
    auto bad = [](const char *what, std::size_t at) {
        return std::string("membership body: ") + what + " at byte " + std::to_string(at);
    };
    if (body.size() < kBbSignatureSize || std::memcmp(body.data(), kBbSignature, kBbSignatureSize) != 0)
        return bad("no signature", 0);
    auto u16 = [&](std::size_t at) {
        return static_cast<std::size_t>(static_cast<unsigned char>(body[at]) << 8 |
                                        static_cast<unsigned char>(body[at + 1]));
    };
    // A text of `n` bytes at `at` and the NUL behind it; false when they do
    // not fit. (A NUL inside the text is the reader's concern, not framing.)
    auto text = [&](std::size_t at, std::size_t n) {
        return n < body.size() && at < body.size() - n && body[at + n] == '\0';
    };
    std::size_t at = kBbSignatureSize;
    int level = -1;
    while (at < body.size()) {
        unsigned char tag = static_cast<unsigned char>(body[at]);
        if (body.size() - at < 3) return bad("a record cut short", at);
        std::size_t n = u16(at + 1);
        if (n == kBbLengthNeverWritten) return bad("a length of 0xFFFF", at);
        if (tag == kBbTagSegment) {
            if (n == 0 || !text(at + 3, n - 1) || at + 3 + n >= body.size()) return bad("a bad segment record", at);
            int next = static_cast<unsigned char>(body[at + 3 + n]);
            if (next > level + 1) return bad("a segment more than one level below its parent", at);
            level = next;
            at += 3 + n + 1;
        } else if (tag == kBbTagElement) {
            if (level < 0) return bad("an element outside any segment", at);
            if (!text(at + 3, n) || body.size() - (at + 4 + n) < 2) return bad("a bad element name", at);
            std::size_t valueAt = at + 4 + n;
            std::size_t v = u16(valueAt);
            if (v == kBbLengthNeverWritten || !text(valueAt + 2, v)) return bad("a bad element value", at);
            at = valueAt + 2 + v + 1;
        } else {
            return bad("an unknown record tag", at);
        }
    }
    lumo_bb *block = lumo_bb_body2block(body.data(), static_cast<std::int32_t>(body.size()));
    if (block == nullptr) return "a membership body the library cannot decode";
    lumo_bb_destroy(block);
    return {};
}

enum class Outcome { complete, need_more, bad };

#define EXPECT_LINE(r, out)                                          \
    do {                                                             \
        switch ((r).line(out)) {                                     \
        case Reader::Line::need_more: return Outcome::need_more;     \
        case Reader::Line::bad: return Outcome::bad;                 \
        case Reader::Line::ok: break;                                \
        }                                                            \
    } while (0)

// A header line `name` with its value in `value`.
#define EXPECT_HEADER(r, name, value)                                              \
    do {                                                                           \
        std::string_view line_;                                                    \
        EXPECT_LINE(r, line_);                                                     \
        if (!line_.starts_with(name)) {                                            \
            (r).problem = "line " + std::to_string((r).lineNo) + " is not " +      \
                          std::string(wire::name_of(name)) + ": " + std::string(line_.substr(0, 80)); \
            return Outcome::bad;                                                   \
        }                                                                          \
        value = line_.substr((name).size());                                       \
    } while (0)

Outcome header_block(Reader &r) {
    for (;;) {
        std::string_view line;
        EXPECT_LINE(r, line);
        if (line.empty()) return Outcome::complete;
        if (line.find(": ") == std::string_view::npos) {
            r.problem = "a header line without ': '";
            return Outcome::bad;
        }
    }
}

Outcome connect_reply(Reader &r) {
    // The library finds the result and the instance name by line number.
    for (;;) {
        std::string_view line;
        EXPECT_LINE(r, line);
        if (line.empty()) break;
        bool ok = true;
        if (r.lineNo == wire::kReplyResultLine)
            ok = line == "Result: success" || line == "Result: failure";
        else if (r.lineNo == wire::kReplyInstanceNameLine)
            ok = line.starts_with(wire::kInstanceName);
        if (!ok) {
            r.problem = "connect reply line " + std::to_string(r.lineNo) + " is wrong";
            return Outcome::bad;
        }
    }
    if (r.lineNo <= wire::kReplyInstanceNameLine) {
        r.problem = "a connect reply without its instance name line";
        return Outcome::bad;
    }
    return Outcome::complete;
}

Outcome status(Reader &r) {
    std::string_view v;
    EXPECT_HEADER(r, wire::kResult, v);
    if (v != wire::kSuccess && v != wire::kFailure) {
        r.problem = "a status with result " + std::string(v);
        return Outcome::bad;
    }
    EXPECT_HEADER(r, wire::kSubscriberId, v);
    if (!integer(v)) {
        r.problem = "a status for subscriber " + std::string(v);
        return Outcome::bad;
    }
    EXPECT_HEADER(r, wire::kMessage, v);
    std::string_view end;
    EXPECT_LINE(r, end);
    if (!end.empty()) {
        r.problem = "a status with a line after its message";
        return Outcome::bad;
    }
    return Outcome::complete;
}

Outcome event(Reader &r) {
    std::string_view v;
    EXPECT_HEADER(r, wire::kClassName, v);
    auto cls = class_from_name(v);
    if (!cls) {
        r.problem = "an event of class " + std::string(v);
        return Outcome::bad;
    }
    EXPECT_HEADER(r, wire::kSubscriberId, v);
    if (!integer(v)) {
        r.problem = "an event for subscriber " + std::string(v);
        return Outcome::bad;
    }
    std::string_view type, id;
    EXPECT_HEADER(r, wire::kEventType, type);
    EXPECT_HEADER(r, wire::kEventId, id);
    EXPECT_HEADER(r, wire::kCreationTime, v);
    if (!digits(v)) {
        r.problem = "creation time " + std::string(v);
        return Outcome::bad;
    }
    EXPECT_HEADER(r, wire::kDeliveryTime, v);
    if (!digits(v, RenderedEvent::kDeliveryDigits, RenderedEvent::kDeliveryDigits)) {
        r.problem = "delivery time " + std::string(v);
        return Outcome::bad;
    }
    if (is_full_form(*cls)) {
        for (std::string_view name : {wire::kAffectedComponents, wire::kAffectedNodes,
                                      wire::kGeneratingComponent, wire::kGeneratingProcess,
                                      wire::kGeneratingNode, wire::kInstanceName})
            EXPECT_HEADER(r, name, v);
        EXPECT_HEADER(r, wire::kLocalOnly, v);
        if (v != "true" && v != "false") {
            r.problem = "LocalOnly " + std::string(v);
            return Outcome::bad;
        }
        EXPECT_HEADER(r, wire::kNumberOfProperties, v);
        auto count = size_value(v);
        if (!count) {
            r.problem = "numberOfProperties " + std::string(v);
            return Outcome::bad;
        }
        for (std::size_t i = 0; i < *count; ++i) {
            std::string_view property;
            EXPECT_LINE(r, property);
            if (property.find(':') == std::string_view::npos) {
                r.problem = "a property without ':'";
                return Outcome::bad;
            }
        }
        if (*cls == kIncomingStreamingNotification) EXPECT_HEADER(r, wire::kStreamKey, v);
    }
    EXPECT_HEADER(r, wire::kContentLength, v);
    auto length = size_value(v);
    if (!length) {
        r.problem = "Content-Length " + std::string(v);
        return Outcome::bad;
    }
    EXPECT_HEADER(r, wire::kAddrListLength, v);
    if (v != "0") {
        r.problem = "AddrList-Length " + std::string(v);
        return Outcome::bad;
    }
    std::string_view end;
    EXPECT_LINE(r, end);
    if (!end.empty()) {
        r.problem = "an event header after AddrList-Length";
        return Outcome::bad;
    }
    std::string_view body;
    if (!r.bytes(*length, body)) return Outcome::need_more;
    // Only the daemon's own notices: a client may publish anything under
    // these classes.
    if ((*cls == kMembershipListNotification || *cls == kMembershipDeltaNotification) &&
        id.starts_with("vavevard-membership-") &&
        (type == kMembershipListType || type == kMembershipDeltaType)) {
        r.problem = check_membership_body(body);
        if (!r.problem.empty()) return Outcome::bad;
    }
    return Outcome::complete;
}

// A gap notice says how many events one subscription missed: never none.
Outcome gap(Reader &r) {
    std::string_view v;
    EXPECT_HEADER(r, wire::kSubscriberId, v);
    if (!integer(v)) {
        r.problem = "a gap notice for subscriber " + std::string(v);
        return Outcome::bad;
    }
    EXPECT_HEADER(r, wire::kSkipped, v);
    if (!digits(v) || v.starts_with('0')) {
        r.problem = "a gap notice of " + std::string(v) + " skipped";
        return Outcome::bad;
    }
    std::string_view end;
    EXPECT_LINE(r, end);
    if (!end.empty()) {
        r.problem = "a gap notice with a line after its count";
        return Outcome::bad;
    }
    return Outcome::complete;
}

Outcome message(Reader &r) {
    std::string_view first;
    EXPECT_LINE(r, first);
    std::string start = std::string(first) + "\r\n";
    if (start == wire::kEventLine || start == wire::kReplayLine) return event(r);
    if (start == wire::kGapLine) return gap(r);
    if (start == wire::kStatusLine) return status(r);
    if (start == wire::kConnectLine) return connect_reply(r);
    if (first == "POST /stats HTTP/1.1") return header_block(r);
    r.problem = "a message that starts with " + std::string(first.substr(0, 80));
    return Outcome::bad;
}

}  // namespace

std::string OutputCheck::take(std::string_view bytes) {
    buf_.append(bytes);
    std::size_t at = 0;
    std::string wrong;
    while (at < buf_.size()) {
        Reader r(std::string_view(buf_).substr(at));
        Outcome o = message(r);
        if (o == Outcome::need_more) break;
        if (o == Outcome::bad) {
            wrong = "message " + std::to_string(messages_ + 1) + ": " + r.problem;
            break;
        }
        at += r.used();
        ++messages_;
    }
    buf_.erase(0, at);
    return wrong;
}

}  // namespace vavevard::fuzz
