// Writes the lines of one message into a byte sink: the library's own buffer
// (port/bytebuf.h) or a std::string in the daemon. A sink needs only
// `append(const char *bytes, std::size_t length)`; how it reports running out
// of memory is its own affair (the library's buffer remembers it, a string
// throws), so the writer stays the same for both.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/framing.h"

namespace vavevar::wire {

template <typename Sink>
class MessageWriter {
public:
    explicit MessageWriter(Sink &sink) noexcept : sink_(sink) {}

    // Bytes as they are: a message line (its line end included), a body.
    void raw(std::string_view bytes) {
        if (!bytes.empty()) sink_.append(bytes.data(), bytes.size());
    }

    // A line ended by CR LF; line("") is the empty line that ends the headers.
    void line(std::string_view text) {
        raw(text);
        raw(kLineEnd);
    }

    // `name` is a header text of this folder, its ": " included.
    void header(std::string_view name, std::string_view value) {
        raw(name);
        line(value);
    }

    void number_header(std::string_view name, std::int64_t value) {
        char digits[24];
        auto result = std::to_chars(digits, digits + sizeof digits, value);
        header(name, std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
    }

    // "name: value", as properties travel.
    void property(std::string_view name, std::string_view value) {
        raw(name);
        raw(kPropertySeparator);
        line(value);
    }

private:
    Sink &sink_;
};

}  // namespace vavevar::wire
