// Helpers for body-block tests: owning handles, bodies as byte strings, and
// a structural description of a block that shows every byte of every value.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "vavevar.h"

namespace vavevar::test {

struct BlockDeleter {
    void operator()(lumo_bb *block) const { ::lumo_bb_destroy(block); }
};
using Block = std::unique_ptr<lumo_bb, BlockDeleter>;

using Bytes = std::string;

inline Bytes signature() {
    return Bytes("\x00\xA3\x7C\x08\xE7\x78\xEE\x24\x5F\xD3\xB6\x4E", 12);
}

// Encodes through the exported function; an empty result means it refused.
inline Bytes encode(lumo_bb *block) {
    std::uint32_t length = 0;
    void *body = ::lumo_bb_block2body(block, &length);
    if (body == nullptr) return Bytes();
    Bytes out(static_cast<const char *>(body), length);
    std::free(body);
    return out;
}

// Decodes from a heap copy of exactly the given size, so that the sanitizer
// build catches any read past the end.
inline Block decode(const Bytes &body) {
    std::unique_ptr<char[]> exact(new char[body.size() > 0 ? body.size() : 1]);
    std::memcpy(exact.get(), body.data(), body.size());
    return Block(::lumo_bb_body2block(exact.get(), static_cast<std::int32_t>(body.size())));
}

inline void describe_segments(lumo_bb_seglist *list, int depth, std::string &out) {
    for (lumo_bb_seg *seg = ::lumo_bb_seglist_getfirst(list); seg != nullptr;
         seg = ::lumo_bb_seglist_getnext(seg)) {
        out += std::string(static_cast<std::size_t>(depth), '.') + "[" + ::lumo_bb_seg_getname(seg) + "]";
        for (lumo_bb_elem *e = ::lumo_bb_elemlist_getfirst(::lumo_bb_seg_getelements(seg));
             e != nullptr; e = ::lumo_bb_elemlist_getnext(e)) {
            std::uint32_t length = 0;
            const char *value = ::lumo_bb_elem_getvalue(e, &length);
            out += " ";
            out += ::lumo_bb_elem_getname(e);
            out += "=";
            out.append(value, length);
            out += "|";
        }
        out += "\n";
        describe_segments(::lumo_bb_seg_getsegments(seg), depth + 1, out);
    }
}

// One line per segment, dots for depth, then each element as name=value|.
inline std::string describe(lumo_bb *block) {
    std::string out;
    describe_segments(::lumo_bb_getsegments(block), 0, out);
    return out;
}

}  // namespace vavevar::test
