// Bodies given on the command line: plain bytes, or a body block described as
// "SEG.ELEM=VALUE" assignments.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vavevar::cli {

// Builds a body block from "SEG.ELEM=VALUE" items: segments nest along the
// dots (`a.b.name=v` is element `name` of segment `b` inside `a`), segments
// and elements keep the order in which they first appear, and a repeated
// element takes the later value. Throws UsageError for an item without a
// segment, an element name or '='. Returns the encoded body.
std::string encode_body_block(const std::vector<std::string> &items);

// Reads the next line of `in` into `line`, without its LF or CR LF; false at
// the end of the input. A line longer than `limit` bytes throws Failure
// naming line `number` once `limit` bytes have been read, so it is never held
// whole; so does a read error.
bool read_line(std::FILE *in, std::string &line, std::size_t limit, std::uint64_t number);

// Reads a whole file ("-" is standard input); throws Failure.
std::string read_file(const std::string &path, std::size_t limit);

}  // namespace vavevar::cli
