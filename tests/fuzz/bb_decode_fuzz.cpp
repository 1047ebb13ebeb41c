// Any bytes given to the decoder: no crash, no read past the end, no leak.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "vavevar.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > INT32_MAX) return 0;
    // A copy of exactly `size` bytes, so any read beyond it hits a redzone.
    std::unique_ptr<std::uint8_t[]> body(new std::uint8_t[size > 0 ? size : 1]);
    if (size > 0) std::memcpy(body.get(), data, size);
    lumo_bb *block = lumo_bb_body2block(body.get(), static_cast<std::int32_t>(size));
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
    lumo_bb_destroy(block);
    return 0;
}
