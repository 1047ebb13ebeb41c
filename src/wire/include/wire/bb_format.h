// Layout of an encoded body block, for the library's encoder and decoder and
// for the daemon's membership bodies: a fixed signature, then a flat, depth-first
// run of tagged records. Nesting travels as a level byte in each segment
// record. Multi-byte numbers are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vavevar::wire {

inline constexpr unsigned char kBbSignature[] = {0x00, 0xA3, 0x7C, 0x08, 0xE7, 0x78,
                                                 0xEE, 0x24, 0x5F, 0xD3, 0xB6, 0x4E};
inline constexpr std::size_t kBbSignatureSize = sizeof kBbSignature;

// Segment record: tag, u16 name-field length (counting the NUL), name, NUL, level.
inline constexpr unsigned char kBbTagSegment = 1;
// Element record: tag, u16 name length, name, NUL, u16 value length, value, NUL.
inline constexpr unsigned char kBbTagElement = 2;
// Never written; a reader stops when it meets it.
inline constexpr unsigned char kBbTagEnd = 4;

inline constexpr std::uint32_t kBbSegmentOverhead = 5;  // tag, length, NUL, level
inline constexpr std::uint32_t kBbElementOverhead = 7;  // tag, two lengths, two NULs

// Readers that add 1 to a length in 16 bits cannot take more than these, so
// the encoder refuses anything larger rather than write a body that decodes
// into something else. A length field of 0xFFFF is never written.
inline constexpr std::uint32_t kBbMaxSegmentName = 65533;
inline constexpr std::uint32_t kBbMaxElementName = 65534;
inline constexpr std::uint32_t kBbMaxValue = 65534;
inline constexpr std::uint32_t kBbMaxLevel = 255;
inline constexpr std::uint32_t kBbLengthNeverWritten = 0xFFFF;

}  // namespace vavevar::wire
