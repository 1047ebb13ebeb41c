// How every message of the daemon connection is framed: a message line
// "POST /<resource> HTTP/1.1", header lines "name: value", an empty line, and
// for events the body and address list whose lengths the headers announce.
// Lines end with CR LF; readers also take a bare LF.
#pragma once

#include <string_view>

namespace vavevar::wire {

inline constexpr std::string_view kLineEnd = "\r\n";
inline constexpr std::string_view kPropertySeparator = ": ";  // between a property's name and value

// What every message line starts with. The library's reader skips it by its
// length and looks only at the resource behind it.
inline constexpr std::string_view kMessageLineStart = "POST /";

// A header's name alone, as a parser compares it: the header texts of this
// folder carry their ": ".
constexpr std::string_view name_of(std::string_view header) { return header.substr(0, header.size() - 2); }

// The resource a message line names: resource_of("POST /event HTTP/1.1\r\n")
// is "event".
constexpr std::string_view resource_of(std::string_view messageLine) {
    std::string_view rest = messageLine.substr(kMessageLineStart.size());
    return rest.substr(0, rest.find(' '));
}

}  // namespace vavevar::wire
