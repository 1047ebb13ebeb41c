// Checks what the daemon writes to one client against the layout a client's
// library reads: whole messages, each of a kind the library knows, event
// headers in their fixed order and bodies of the announced length, and the
// daemon's own membership bodies decodable by the library. The stream may be
// fed in any pieces; a message cut short when the daemon closes is allowed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vavevard::fuzz {

class OutputCheck {
public:
    // Takes the next bytes received. Returns what is wrong with the stream
    // so far, or an empty string.
    std::string take(std::string_view bytes);

    std::size_t messages() const noexcept { return messages_; }
    // Bytes of a message not yet complete.
    std::size_t partial() const noexcept { return buf_.size(); }

private:
    std::string buf_;
    std::size_t messages_ = 0;
};

}  // namespace vavevard::fuzz
