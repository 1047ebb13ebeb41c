// Writes a seed corpus of valid bodies, one file each, into the directory
// given as the only argument.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vavevar.h"

namespace {

int written = 0;

bool write_file(const std::string &dir, const void *bytes, std::size_t length) {
    const std::string path = dir + "/seed-" + std::to_string(written++);
    std::FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    const bool ok = std::fwrite(bytes, 1, length, out) == length;
    return std::fclose(out) == 0 && ok;
}

bool write_block(const std::string &dir, lumo_bb *block) {
    std::uint32_t length = 0;
    void *body = lumo_bb_block2body(block, &length);
    const bool ok = body != nullptr && write_file(dir, body, length);
    std::free(body);
    lumo_bb_destroy(block);
    return ok;
}

lumo_bb *single() {
    lumo_bb *b = lumo_bb_create();
    lumo_bb_seg_addelement(lumo_bb_addsegment(b, "a"), "k", "v");
    return b;
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

lumo_bb *deep() {
    lumo_bb *b = lumo_bb_create();
    lumo_bb_seg *s = lumo_bb_addsegment(b, "0");
    for (int level = 1; level < 40; ++level) {
        lumo_bb_seg_addelement(s, "l", std::to_string(level).c_str());
        s = lumo_bb_seg_addsegment(s, "n");
    }
    lumo_bb_addsegment(b, "top");
    return b;
}

lumo_bb *wide() {
    lumo_bb *b = lumo_bb_create();
    for (int i = 0; i < 12; ++i) {
        lumo_bb_seg *s = lumo_bb_addsegment(b, ("segment" + std::to_string(i)).c_str());
        for (int j = 0; j < 6; ++j)
            lumo_bb_seg_addelement(s, ("element" + std::to_string(j)).c_str(),
                                   std::string(static_cast<std::size_t>(j * 7), 'v').c_str());
    }
    return b;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = write_block(dir, lumo_bb_create()) && write_block(dir, single()) &&
              write_block(dir, nested()) && write_block(dir, deep()) && write_block(dir, wide());
    // An end mark with bytes after it, which the encoder never writes.
    std::uint32_t length = 0;
    lumo_bb *b = single();
    auto *body = static_cast<unsigned char *>(lumo_bb_block2body(b, &length));
    lumo_bb_destroy(b);
    if (body != nullptr) {
        std::string marked(reinterpret_cast<char *>(body), length);
        marked += std::string("\x04\x01\x00\x02z\x00\x00", 7);
        ok = write_file(dir, marked.data(), marked.size()) && ok;
    }
    std::free(body);
    if (!ok) std::fprintf(stderr, "could not write the seeds to %s\n", argv[1]);
    return ok ? 0 : 1;
}
