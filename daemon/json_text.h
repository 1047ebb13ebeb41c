// Texts as JSON string literals. What the monitoring answers quote comes
// partly from clients (self identifiers, filters), which may hold any bytes:
// the literal is valid JSON whatever they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vavevard {

// Appends `text` as a quoted JSON string: quote, backslash and control
// characters escaped, and every byte that is not part of well-formed UTF-8
// (a stray continuation byte, a sequence cut short, an overlong form, a
// surrogate, a code point past U+10FFFF) replaced by U+FFFD.
void append_json_string(std::string &out, std::string_view text);

// The longest start of `text` of at most `maxBytes` that does not end inside
// a UTF-8 sequence, so that cutting a long text does not itself make a
// malformed character.
std::string_view utf8_prefix(std::string_view text, std::size_t maxBytes) noexcept;

}  // namespace vavevard
