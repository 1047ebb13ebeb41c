// Any bytes given to the decoder: no crash, no read past the end, no leak.
// Whatever it builds can be walked, rendered, and encoded into a body that
// decodes into the same block: encoding that again gives the same bytes and
// rendering it gives the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "vavevar.h"

namespace {

lumo_bb *decode(const void *data, std::size_t size) {
    // A copy of exactly `size` bytes, so any read beyond it hits a redzone.
    std::unique_ptr<std::uint8_t[]> body(new std::uint8_t[size > 0 ? size : 1]);
    if (size > 0) std::memcpy(body.get(), data, size);
    return lumo_bb_body2block(body.get(), static_cast<std::int32_t>(size));
}

bool same_text(const char *a, const char *b) {
    return (a == nullptr && b == nullptr) || (a != nullptr && b != nullptr && std::strcmp(a, b) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > INT32_MAX) return 0;
    lumo_bb *block = decode(data, size);
    if (block == nullptr) return 0;
    // Walk everything the decoder built, so a bad link shows up here.
    for (lumo_bb_seg *seg = lumo_bb_seglist_getfirst(lumo_bb_getsegments(block)); seg != nullptr;
         seg = lumo_bb_seglist_getnext(seg)) {
        for (lumo_bb_elem *e = lumo_bb_elemlist_getfirst(lumo_bb_seg_getelements(seg)); e != nullptr;
             e = lumo_bb_elemlist_getnext(e)) {
            std::uint32_t length = 0;
            const char *value = lumo_bb_elem_getvalue(e, &length);
            if (value[length] != '\0' || lumo_bb_seg_getelement(seg, lumo_bb_elem_getname(e), nullptr) != value)
                __builtin_trap();
        }
    }
    std::uint32_t first_length = 0, second_length = 0;
    void *first = lumo_bb_block2body(block, &first_length);
    if (first == nullptr) __builtin_trap();  // a decoded block always fits the format
    lumo_bb *again = decode(first, first_length);
    void *second = lumo_bb_block2body(again, &second_length);
    char *text = lumo_bb_toString(block);
    char *text_again = lumo_bb_toString(again);
    if (again == nullptr || second == nullptr || second_length != first_length ||
        std::memcmp(first, second, first_length) != 0 || !same_text(text, text_again))
        __builtin_trap();
    std::free(first);
    std::free(second);
    std::free(text);
    std::free(text_again);
    lumo_bb_destroy(again);
    lumo_bb_destroy(block);
    return 0;
}
