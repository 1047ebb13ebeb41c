// The server target reads its input as a script of operations on up to eight
// client connections. This is the script's encoding, shared by the target and
// the program that writes its seeds.
//
// Each operation starts with one byte: the low four bits are the operation,
// bits 4-6 the connection slot it acts on, bit 7 a flag. Operations that write
// a whole request write only a prefix of it when the flag is set: a byte
// (read first) gives the prefix as a fraction of the request, in 256ths, so
// the rest can follow later, in another operation or never. Writing to an
// empty slot opens a connection there first.
#pragma once

#include <cstdint>

namespace vavevard::fuzz {

enum class Op : std::uint8_t {
    open = 0,         // a new connection in the slot (an old one is closed abruptly)
    write = 1,        // byte n, then n bytes to send
    repeat = 2,       // u16 count, byte (low 4 bits: chunk length - 1), chunk: sent count + 1 times
    connect = 3,      // a connect request (request_templates.h gives the fields)
    subscribe = 4,    // a subscribe request
    unsubscribe = 5,  // an unsubscribe request
    event = 6,        // a publish request
    stats = 7,        // a stats request
    drain = 8,        // read what the daemon sent, and keep reading from now on
    stall = 9,        // stop reading, so the daemon's output backs up
    shut_write = 10,  // half-close: the daemon reads an end of stream
    shut_read = 11,   // the daemon's writes fail from now on
    close = 12,       // close the client end
    run = 13,         // byte n: 1 + n % 64 turns of the loop
    trickle = 14,     // byte n, then n bytes sent one at a time, a turn after each
    stop = 15,        // stop the daemon the way a signal does and let it close everything
};

inline constexpr int kSlots = 8;
inline constexpr std::uint8_t kPrefixFlag = 0x80;

constexpr std::uint8_t op_byte(Op op, int slot, bool prefix = false) {
    return static_cast<std::uint8_t>(static_cast<std::uint8_t>(op) | (slot & 7) << 4 |
                                     (prefix ? kPrefixFlag : 0));
}

}  // namespace vavevard::fuzz
