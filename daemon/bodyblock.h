// A writer of the structured body format that the client library decodes:
// named segments holding named elements and child segments. The daemon only
// writes such bodies (for membership notifications), so only encoding is here.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vavevard {

struct BodySegment {
    std::string name;
    std::vector<std::pair<std::string, std::string>> elements;
    std::vector<BodySegment> children;

    BodySegment &element(std::string_view elementName, std::string_view value);
    BodySegment &child(std::string_view childName);
};

// Encodes top-level segments in order. Names are cut to 65,533 bytes, values
// to 65,534 bytes and nesting to 256 levels, the most the format can carry.
std::string encode_body_block(const std::vector<BodySegment> &segments);

// What encode_body_block spends on the signature, on a segment record (its
// content apart) and on an element record, so a size can be known before a
// body is built.
std::size_t encoded_signature_size() noexcept;
std::size_t encoded_segment_size(std::string_view name) noexcept;
std::size_t encoded_element_size(std::string_view name, std::string_view value) noexcept;

}  // namespace vavevard
