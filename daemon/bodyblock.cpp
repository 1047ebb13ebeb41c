#include "bodyblock.h"

#include <algorithm>
#include <cstdint>

#include "wire/bb_format.h"

namespace vavevard {
namespace {

using namespace vavevar::wire;  // the format's constants, shared with the client library

void put16(std::string &out, std::size_t n) {
    out.push_back(static_cast<char>((n >> 8) & 0xff));
    out.push_back(static_cast<char>(n & 0xff));
}

void put_text(std::string &out, std::string_view text) {
    out.append(text);
    out.push_back('\0');
}

std::string_view segment_name(std::string_view name) { return name.substr(0, kBbMaxSegmentName); }
std::string_view element_name(std::string_view name) { return name.substr(0, kBbMaxElementName); }
std::string_view element_value(std::string_view value) { return value.substr(0, kBbMaxValue); }

void encode_segment(std::string &out, const BodySegment &s, unsigned level) {
    std::string_view name = segment_name(s.name);
    out.push_back(static_cast<char>(kBbTagSegment));
    put16(out, name.size() + 1);  // a segment's length counts the NUL
    put_text(out, name);
    out.push_back(static_cast<char>(level));
    for (const auto &[elementName, value] : s.elements) {
        std::string_view n = element_name(elementName);
        std::string_view v = element_value(value);
        out.push_back(static_cast<char>(kBbTagElement));
        put16(out, n.size());  // an element's lengths do not
        put_text(out, n);
        put16(out, v.size());
        put_text(out, v);
    }
    if (level == kBbMaxLevel) return;
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
    std::string out(reinterpret_cast<const char *>(kBbSignature), kBbSignatureSize);
    for (const BodySegment &s : segments) encode_segment(out, s, 0);
    return out;
}

std::size_t encoded_signature_size() noexcept { return kBbSignatureSize; }

std::size_t encoded_segment_size(std::string_view name) noexcept {
    return kBbSegmentOverhead + segment_name(name).size();
}

std::size_t encoded_element_size(std::string_view name, std::string_view value) noexcept {
    return kBbElementOverhead + element_name(name).size() + element_value(value).size();
}

}  // namespace vavevard
