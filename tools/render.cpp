#include "render.h"

#include <cstdlib>
#include <memory>

#include "args.h"

namespace vavevar::cli {
namespace {

// The modes of lumo_notification_toString.
constexpr std::int32_t kModeNone = 0, kModeHex = 1, kModeText = 2, kModeBlock = 3;

struct BlockDeleter {
    void operator()(lumo_bb *b) const { lumo_bb_destroy(b); }
};
using Block = std::unique_ptr<lumo_bb, BlockDeleter>;

std::string_view body_of(const lumo_notification *n) {
    std::int32_t length = 0;
    const char *body = lumo_notification_body(n, &length);
    if (body == nullptr || length <= 0) return {};
    return {body, static_cast<std::size_t>(length)};
}

Block decode_block(std::string_view body) {
    if (body.empty()) return nullptr;
    return Block(lumo_bb_body2block(body.data(), static_cast<std::int32_t>(body.size())));
}

std::int32_t text_mode(const lumo_notification *n, BodyShow show) {
    switch (show) {
    case BodyShow::none: return kModeNone;
    case BodyShow::hex: return kModeHex;
    case BodyShow::text: return kModeText;
    case BodyShow::block: return kModeBlock;
    case BodyShow::automatic: break;
    }
    std::string_view body = body_of(n);
    if (decode_block(body)) return kModeBlock;
    return is_utf8_text(body) ? kModeText : kModeHex;
}

void append_field(std::string &out, const char *name, const char *value) {
    out += ",\"";
    out += name;
    out += "\":";
    if (value == nullptr) {
        out += "null";
    } else {
        append_json_string(out, value);
    }
}

// `key` as a JSON string and, when `text` is not UTF-8, its bytes under
// `keyBase64` too, since the string had to replace some.
void append_keeping_bytes(std::string &out, const char *key, std::string_view text) {
    out += '"';
    out += key;
    out += "\":";
    append_json_string(out, text);
    if (!is_utf8(text)) {
        out += ",\"";
        out += key;
        out += "Base64\":\"" + base64(text) + "\"";
    }
}

void append_value(std::string &out, std::string_view value) {
    if (is_utf8_text(value)) {
        out += "\"value\":";
        append_json_string(out, value);
    } else {
        out += "\"valueBase64\":\"" + base64(value) + "\"";
    }
}

void append_segments(std::string &out, lumo_bb_seglist *list) {
    out += '[';
    bool first = true;
    for (lumo_bb_seg *seg = lumo_bb_seglist_getfirst(list); seg != nullptr;
         seg = lumo_bb_seglist_getnext(seg)) {
        if (!first) out += ',';
        first = false;
        out += "{\"name\":";
        append_json_string(out, lumo_bb_seg_getname(seg));
        out += ",\"elements\":[";
        bool first_elem = true;
        for (lumo_bb_elem *e = lumo_bb_elemlist_getfirst(lumo_bb_seg_getelements(seg));
             e != nullptr; e = lumo_bb_elemlist_getnext(e)) {
            if (!first_elem) out += ',';
            first_elem = false;
            std::uint32_t length = 0;
            const char *value = lumo_bb_elem_getvalue(e, &length);
            out += "{\"name\":";
            append_json_string(out, lumo_bb_elem_getname(e));
            out += ',';
            append_value(out, std::string_view(value, length));
            out += '}';
        }
        out += "],\"segments\":";
        append_segments(out, lumo_bb_seg_getsegments(seg));
        out += '}';
    }
    out += ']';
}

}  // namespace

BodyShow parse_body_show(const std::string &option, const std::string &text) {
    if (text == "auto") return BodyShow::automatic;
    if (text == "none") return BodyShow::none;
    if (text == "hex") return BodyShow::hex;
    if (text == "text") return BodyShow::text;
    if (text == "block") return BodyShow::block;
    throw UsageError(option + ": invalid value '" + text + "' (auto, none, hex, text, block)");
}

std::string render_text(const lumo_notification *n, BodyShow show) {
    char *text = lumo_notification_toString(n, text_mode(n, show));
    if (text == nullptr) throw Failure("out of memory rendering a notification");
    std::string result(text);
    std::free(text);
    // The library's rendering leaves the body out for the classes that do not
    // usually carry one, but membership lists and changes do.
    std::int32_t cls = lumo_notification_getClass(n);
    bool rendered = cls == 0 || cls == 3 || cls == 4 || cls == 6;
    std::string_view body = body_of(n);
    if (rendered || body.empty() || show == BodyShow::none) return result;
    result += "  Body Length:          " + std::to_string(body.size()) + "\n  Body:\n";
    if (Block block = decode_block(body)) {
        char *block_text = lumo_bb_toString(block.get());
        result += block_text != nullptr ? block_text : "";
        std::free(block_text);
    } else if (is_utf8_text(body)) {
        result.append(body).append("\n");
    } else {
        result += "    (" + std::to_string(body.size()) + " bytes, not text)\n";
    }
    return result;
}

std::string render_json(const lumo_notification *n, BodyShow show) {
    std::string out = "{\"class\":" + std::to_string(lumo_notification_getClass(n));
    if (const char *type = lumo_notification_type(n)) {
        out += ',';
        append_keeping_bytes(out, "type", type);
    } else {
        append_field(out, "type", nullptr);
    }
    append_field(out, "id", lumo_notification_id(n));
    out += ",\"creationTime\":" + std::to_string(lumo_notification_creationTime(n));
    out += ",\"deliveryTime\":" + std::to_string(lumo_notification_deliveryTime(n));
    append_field(out, "generatingComponent", lumo_notification_generatingComponent(n));
    append_field(out, "generatingNode", lumo_notification_generatingNode(n));
    append_field(out, "generatingProcess", lumo_notification_generatingProcess(n));
    append_field(out, "instanceName", lumo_notification_instanceName(n));
    append_field(out, "affectedComponents", lumo_notification_affectedComponents(n));
    append_field(out, "affectedNodes", lumo_notification_affectedNodes(n));
    out += ",\"localOnly\":";
    out += lumo_notification_localOnly(n) != 0 ? "true" : "false";

    std::int32_t count = 0;
    lumo_property *all = lumo_notification_getAllProperties(n, &count);
    out += ",\"properties\":[";
    for (std::int32_t i = 0; i < count; ++i) {
        if (i > 0) out += ',';
        out += '{';
        append_keeping_bytes(out, "name", all[i].name);
        out += ',';
        append_keeping_bytes(out, "value", all[i].value);
        out += '}';
    }
    out += ']';
    std::free(all);

    std::string_view body = body_of(n);
    out += ",\"bodyLength\":" + std::to_string(body.size());
    if (show != BodyShow::none && !body.empty()) {
        Block block = show == BodyShow::automatic || show == BodyShow::block ? decode_block(body)
                                                                              : nullptr;
        if (block) {
            out += ",\"bodyBlock\":";
            append_segments(out, lumo_bb_getsegments(block.get()));
        } else if (show != BodyShow::hex && is_utf8_text(body)) {
            out += ",\"body\":";
            append_json_string(out, body);
        } else {
            out += ",\"bodyBase64\":\"" + base64(body) + "\"";
        }
    }
    out += '}';
    return out;
}

namespace {

// The length of the UTF-8 character at `at`, or 0 when the bytes there are
// not one.
std::size_t utf8_length(std::string_view bytes, std::size_t at) {
    auto c = static_cast<unsigned char>(bytes[at]);
    if (c < 0x80) return 1;
    std::size_t extra = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
    if (extra == 0 || at + extra >= bytes.size()) return 0;
    std::uint32_t code = c & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
        auto cc = static_cast<unsigned char>(bytes[at + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        code = (code << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMin[extra] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    return extra + 1;
}

}  // namespace

namespace {

// SEG{ELEM=VALUE ... SEG{...}} for each segment, separated by spaces.
void append_line_segments(std::string &out, lumo_bb_seglist *list) {
    bool first = true;
    for (lumo_bb_seg *seg = lumo_bb_seglist_getfirst(list); seg != nullptr;
         seg = lumo_bb_seglist_getnext(seg)) {
        if (!first) out += ' ';
        first = false;
        out += escape_line_text(lumo_bb_seg_getname(seg)) + "{";
        bool first_inner = true;
        for (lumo_bb_elem *e = lumo_bb_elemlist_getfirst(lumo_bb_seg_getelements(seg));
             e != nullptr; e = lumo_bb_elemlist_getnext(e)) {
            if (!first_inner) out += ' ';
            first_inner = false;
            std::uint32_t length = 0;
            const char *value = lumo_bb_elem_getvalue(e, &length);
            out += escape_line_text(lumo_bb_elem_getname(e)) + "=" +
                   escape_line_text(std::string_view(value, length));
        }
        lumo_bb_seglist *inner = lumo_bb_seg_getsegments(seg);
        if (lumo_bb_seglist_getfirst(inner) != nullptr) {
            if (!first_inner) out += ' ';
            append_line_segments(out, inner);
        }
        out += '}';
    }
}

}  // namespace

std::string render_line(const lumo_notification *n, BodyShow show) {
    const char *type = lumo_notification_type(n);
    std::string out = escape_line_text(type != nullptr ? type : "");
    out += " [";
    std::int32_t count = 0;
    lumo_property *all = lumo_notification_getAllProperties(n, &count);
    for (std::int32_t i = 0; i < count; ++i) {
        if (i > 0) out += ' ';
        out += escape_line_text(all[i].name) + "=" + escape_line_text(all[i].value);
    }
    std::free(all);
    out += ']';
    std::string_view body = body_of(n);
    if (body.empty() || show == BodyShow::none) return out;
    out += ' ';
    if (show == BodyShow::hex) {
        static constexpr char kHex[] = "0123456789abcdef";
        for (char ch : body) {
            auto c = static_cast<unsigned char>(ch);
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    } else if (Block block = show == BodyShow::automatic || show == BodyShow::block ? decode_block(body)
                                                                                  : nullptr) {
        append_line_segments(out, lumo_bb_getsegments(block.get()));
    } else {
        out += escape_line_text(body);
    }
    return out;
}

bool is_utf8(std::string_view bytes) {
    for (std::size_t i = 0, n = 0; i < bytes.size(); i += n)
        if ((n = utf8_length(bytes, i)) == 0) return false;
    return true;
}

bool is_utf8_text(std::string_view bytes) {
    if (!is_utf8(bytes)) return false;
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return false;
    }
    return true;
}

void append_json_string(std::string &out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t n = utf8_length(text, i);
        if (n == 0) {
            // JSON text is UTF-8 throughout: a byte that is not part of a
            // character becomes U+FFFD; the callers that must keep the bytes
            // add them in base64 beside.
            out += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            } else {
                out.append(text.substr(i, n));
            }
        }
        i += n;
    }
    out += '"';
}

std::string escape_line_text(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t n = utf8_length(text, i);
        if (c == '\\') {
            out += "\\\\";
        } else if (n == 0 || c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
            n = 1;
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                          static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                          static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(v >> shift) & 0x3F];
    }
    if (i < bytes.size()) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kAlphabet[(v >> 18) & 0x3F];
        out += kAlphabet[(v >> 12) & 0x3F];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 0x3F] : '=';
        out += '=';
    }
    return out;
}

}  // namespace vavevar::cli
