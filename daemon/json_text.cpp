#include "json_text.h"

namespace vavevard {
namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0
// when there is none there. The bounds of the second byte are what rules out
// overlong forms, surrogates and code points past U+10FFFF.
std::size_t utf8_sequence(std::string_view s) noexcept {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead == 0xE0) length = 3, low = 0xA0;
    else if (lead == 0xED) length = 3, high = 0x9F;
    else if (lead >= 0xE1 && lead <= 0xEF) length = 3;
    else if (lead == 0xF0) length = 4, low = 0x90;
    else if (lead == 0xF4) length = 4, high = 0x8F;
    else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
    else return 0;
    if (s.size() < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

}  // namespace

void append_json_string(std::string &out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    while (!text.empty()) {
        unsigned char c = static_cast<unsigned char>(text[0]);
        std::size_t length = utf8_sequence(text);
        if (length == 0) {
            out.append("\\ufffd");
            length = 1;
        } else if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            switch (c) {
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            default:
                out.append("\\u00");
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0xF]);
            }
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    out.push_back('"');
}

std::string_view utf8_prefix(std::string_view text, std::size_t maxBytes) noexcept {
    if (text.size() <= maxBytes) return text;
    std::size_t end = maxBytes;
    // Back over continuation bytes to the lead of the sequence the cut falls
    // in; that sequence goes whole or not at all.
    std::size_t lead = end;
    while (lead > 0 && end - lead < 3 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
    if (utf8_sequence(text.substr(lead)) > end - lead) end = lead;
    return text.substr(0, end);
}

}  // namespace vavevard
