#include "bodyblock.h"

#include <cstdint>

namespace vavevard {
namespace {

constexpr unsigned char kSignature[12] = {0x00, 0xA3, 0x7C, 0x08, 0xE7, 0x78,
                                          0xEE, 0x24, 0x5F, 0xD3, 0xB6, 0x4E};
constexpr unsigned char kSegmentTag = 1;
constexpr unsigned char kElementTag = 2;
constexpr std::size_t kMaxSegmentName = 65533;
constexpr std::size_t kMaxElementText = 65534;
constexpr unsigned kMaxLevel = 255;

void put16(std::string &out, std::size_t n) {
    out.push_back(static_cast<char>((n >> 8) & 0xff));
    out.push_back(static_cast<char>(n & 0xff));
}

void put_text(std::string &out, std::string_view text) {
    out.append(text);
    out.push_back('\0');
}

void encode_segment(std::string &out, const BodySegment &s, unsigned level) {
    std::string_view name = std::string_view(s.name).substr(0, kMaxSegmentName);
    out.push_back(static_cast<char>(kSegmentTag));
    put16(out, name.size() + 1);  // a segment's length counts the NUL
    put_text(out, name);
    out.push_back(static_cast<char>(level));
    for (const auto &[elementName, value] : s.elements) {
        std::string_view n = std::string_view(elementName).substr(0, kMaxElementText);
        std::string_view v = std::string_view(value).substr(0, kMaxElementText);
        out.push_back(static_cast<char>(kElementTag));
        put16(out, n.size());  // an element's lengths do not
        put_text(out, n);
        put16(out, v.size());
        put_text(out, v);
    }
    if (level == kMaxLevel) return;
    for (const BodySegment &c : s.children) encode_segment(out, c, level + 1);
}

}  // namespace

BodySegment &BodySegment::element(std::string_view elementName, std::string_view value) {
    elements.emplace_back(std::string(elementName), std::string(value));
    return *this;
}

BodySegment &BodySegment::child(std::string_view childName) {
    children.push_back(BodySegment{std::string(childName), {}, {}});
    return children.back();
}

std::string encode_body_block(const std::vector<BodySegment> &segments) {
    std::string out(reinterpret_cast<const char *>(kSignature), sizeof kSignature);
    for (const BodySegment &s : segments) encode_segment(out, s, 0);
    return out;
}

}  // namespace vavevard
