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

}  // namespace vavevard
