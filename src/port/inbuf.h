// Bytes received and not yet parsed, taken as lines, counted skips and
// pieces: the input side of the library's push parsers. It never touches a
// socket; whoever reads one puts the bytes in (space()/filled(), or feed()).
//
// Consumed bytes are dropped before new ones come in, so the buffer holds
// what is not yet parsed (at most a partial line or piece) and the room for
// the next read.
#pragma once

#include <cstddef>

#include "port/bytebuf.h"

namespace vavevar {

class InputBuffer {
public:
    // Room for the next read behind the unparsed bytes: returns where to put
    // bytes and in *length how many fit (at least kInputRoom), or null when
    // memory runs out.
    char *space(std::size_t *length) noexcept;
    // `length` bytes were put into the room space() gave.
    void filled(std::size_t length) noexcept { buf_.grew(length); }
    // Copies bytes in; false when memory runs out.
    bool feed(const char *bytes, std::size_t length) noexcept;

    // The next line ended by LF or CR LF, the end replaced by a NUL in place;
    // it stays valid until the next space() or feed(). Null while no whole
    // line is buffered. `length`, when given, receives the line's length.
    char *take_line(std::size_t *length = nullptr) noexcept;

    // Consumes up to `count` bytes; returns how many there were.
    std::size_t skip(std::size_t count) noexcept;

    // Moves up to `count` bytes into `into`; returns how many there were.
    std::size_t take(char *into, std::size_t count) noexcept;

    // Drops every byte, keeping the memory for the next use.
    void clear() noexcept;

    // Bytes put in and not yet taken.
    std::size_t buffered() const noexcept { return buf_.size() - pos_; }
    // Memory held.
    std::size_t held() const noexcept { return buf_.capacity(); }

    static constexpr std::size_t kInputRoom = 4096;

private:
    void compact() noexcept;

    ByteBuffer buf_;
    std::size_t pos_ = 0;   // first byte not yet taken
    std::size_t scan_ = 0;  // bytes before this hold no LF of the current line
};

}  // namespace vavevar
