// Writes a seed corpus of bodies, one file each, into the directory given as
// the only argument.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vavevar.h"

namespace {

std::string dir;
int written = 0;

// Writes the block's encoding, with `tail` behind it, and destroys the block.
bool write_block(lumo_bb *block, const std::string &tail = "") {
    std::uint32_t length = 0;
    void *body = lumo_bb_block2body(block, &length);
    lumo_bb_destroy(block);
    if (body == nullptr) return false;
    const std::string bytes = std::string(static_cast<char *>(body), length) + tail;
    std::free(body);
    std::FILE *out = std::fopen((dir + "/seed-" + std::to_string(written++)).c_str(), "wb");
    if (out == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && ok;
}

lumo_bb *nested() {
    lumo_bb *b = lumo_bb_create();
    lumo_bb_seg *r = lumo_bb_addsegment(b, "root");
    lumo_bb_seg_addelement(r, "name", "value");
    lumo_bb_seg_addelement_b(r, "bin", "\0\x01\xFF\0", 4);
    lumo_bb_seg_addelement(r, "", "");
    lumo_bb_seg *c = lumo_bb_seg_addsegment(r, "child");
    lumo_bb_seg_addelement(c, "x", "1");
    lumo_bb_seg_addelement(lumo_bb_seg_addsegment(c, "grandchild"), "y", "2");
    lumo_bb_seg_addsegment(r, "second child");
    lumo_bb_seg_addelement(lumo_bb_addsegment(b, "sibling"), "z", "3");
    lumo_bb_addsegment(b, "");
    return b;
}

// Deep (40 levels) or wide (12 segments of 6 elements, values up to 35 bytes).
lumo_bb *big(bool deep) {
    lumo_bb *b = lumo_bb_create();
    lumo_bb_seg *s = lumo_bb_addsegment(b, "0");
    for (int i = 1; i < (deep ? 40 : 12); ++i) {
        for (int j = 0; j < (deep ? 1 : 6); ++j)
            lumo_bb_seg_addelement(s, ("e" + std::to_string(j)).c_str(), std::string(static_cast<std::size_t>(j * 7), 'v').c_str());
        s = deep ? lumo_bb_seg_addsegment(s, "n") : lumo_bb_addsegment(b, ("s" + std::to_string(i)).c_str());
    }
    lumo_bb_addsegment(b, "top");
    return b;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    dir = argv[1];
    // The last: an end mark with a record after it, which the encoder never writes.
    const bool ok = write_block(lumo_bb_create()) && write_block(nested()) && write_block(big(true)) &&
                    write_block(big(false)) && write_block(nested(), std::string("\x04\x01\x00\x02z\x00\x00", 7));
    if (!ok) std::fprintf(stderr, "could not write the seeds to %s\n", argv[1]);
    return ok ? 0 : 1;
}
