// Body blocks through the exported interface: the model, the text, the wire
// bytes, and decoding truncated and corrupted bodies.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bodyblock/bodyblock.h"
#include "support/alloc_fault.h"

namespace vavevar {
namespace {

struct BlockDeleter {
    void operator()(lumo_bb *block) const { ::lumo_bb_destroy(block); }
};
using Block = std::unique_ptr<lumo_bb, BlockDeleter>;
using Bytes = std::string;

Block make() { return Block(::lumo_bb_create()); }

// One line per segment, dots for depth, then each element as name=value|
// with every byte of the value.
void describe_segments(lumo_bb_seglist *list, int depth, std::string &out) {
    for (lumo_bb_seg *seg = ::lumo_bb_seglist_getfirst(list); seg != nullptr; seg = ::lumo_bb_seglist_getnext(seg)) {
        out += std::string(static_cast<std::size_t>(depth), '.') + "[" + ::lumo_bb_seg_getname(seg) + "]";
        for (lumo_bb_elem *e = ::lumo_bb_elemlist_getfirst(::lumo_bb_seg_getelements(seg)); e != nullptr;
             e = ::lumo_bb_elemlist_getnext(e)) {
            std::uint32_t length = 0;
            const char *value = ::lumo_bb_elem_getvalue(e, &length);
            out += std::string(" ") + ::lumo_bb_elem_getname(e) + "=" + std::string(value, length) + "|";
        }
        out += "\n";
        describe_segments(::lumo_bb_seg_getsegments(seg), depth + 1, out);
    }
}

std::string describe(lumo_bb *block) {
    std::string out;
    describe_segments(::lumo_bb_getsegments(block), 0, out);
    return out;
}

std::string text_of(lumo_bb *block) {
    char *text = ::lumo_bb_toString(block);
    std::string out = text != nullptr ? text : "<null>";
    std::free(text);
    return out;
}

// Encodes through the exported function; an empty result means it refused.
Bytes encode(lumo_bb *block) {
    std::uint32_t length = 0;
    void *body = ::lumo_bb_block2body(block, &length);
    Bytes out = body != nullptr ? Bytes(static_cast<const char *>(body), length) : Bytes();
    std::free(body);
    return out;
}

// Decodes from a heap copy of exactly the given size, so that the sanitizer
// build catches any read past the end.
Block decode(const Bytes &body) {
    std::unique_ptr<char[]> exact(new char[body.size() > 0 ? body.size() : 1]);
    std::memcpy(exact.get(), body.data(), body.size());
    return Block(::lumo_bb_body2block(exact.get(), static_cast<std::int32_t>(body.size())));
}

TEST(BodyBlockModel, SegmentsAreKeyedByTheirExactName) {
    Block b = make();
    char name[] = "a";
    lumo_bb_seg *a = ::lumo_bb_addsegment(b.get(), name);
    ASSERT_NE(a, nullptr);
    name[0] = 'z';  // the block keeps its own copy
    ::lumo_bb_seg_addelement(a, "k", "v");
    lumo_bb_seg *child = ::lumo_bb_seg_addsegment(a, "c");
    EXPECT_EQ(::lumo_bb_addsegment(b.get(), "a"), a);
    EXPECT_EQ(::lumo_bb_seg_addsegment(a, "c"), child);
    EXPECT_EQ(::lumo_bb_seg_getsegment(a, "c"), child);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), "c"), nullptr);  // children are not top level
    lumo_bb_seg *empty = ::lumo_bb_addsegment(b.get(), "");
    ::lumo_bb_addsegment(b.get(), "A");
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), ""), empty);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), "aa"), nullptr);
    EXPECT_EQ(describe(b.get()), "[a] k=v|\n.[c]\n[]\n[A]\n");

    // Names whose hashes collide, at equal lengths and where one starts the other.
    const char *colliding[] = {"\x01\x02\x01", "\x01", "\x02\x01", "\x04\x02"};
    ASSERT_EQ(lumo_bb_hash(colliding[0], 3), lumo_bb_hash(colliding[1], 1));
    ASSERT_EQ(lumo_bb_hash(colliding[2], 2), lumo_bb_hash(colliding[3], 2));
    Block c = make();
    lumo_bb_seg *added[4];
    for (int i = 0; i < 4; ++i) added[i] = ::lumo_bb_addsegment(c.get(), colliding[i]);
    EXPECT_EQ(::lumo_bb_getsegments(c.get())->count, 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(::lumo_bb_getsegment(c.get(), colliding[i]), added[i]);
}

TEST(BodyBlockModel, AddingAnExistingElementReplacesItAtTheEnd) {
    Block b = make();
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "s");
    for (const char *name : {"x", "y", "z", "K", "k"}) ::lumo_bb_seg_addelement(s, name, name);
    ::lumo_bb_seg_addelement(s, "x", "four");  // the first
    EXPECT_EQ(describe(b.get()), "[s] y=y| z=z| K=K| k=k| x=four|\n");
    ::lumo_bb_seg_addelement(s, "x", "5");  // the last
    ::lumo_bb_seg_addelement(s, "z", "6");  // one in the middle
    EXPECT_EQ(describe(b.get()), "[s] y=y| K=K| k=k| x=5| z=6|\n");
    EXPECT_EQ(::lumo_bb_seg_getelements(s)->count, 5u);
    std::uint32_t length = 0;
    EXPECT_STREQ(::lumo_bb_seg_getelement(s, "x", &length), "5");
    EXPECT_EQ(length, 1u);
    {
        // A replacement that finds no memory keeps the element it would replace.
        test::AllocFault fault(0);
        EXPECT_EQ(::lumo_bb_seg_addelement(s, "k", "new"), nullptr);
        EXPECT_EQ(::lumo_bb_addsegment(b.get(), "t"), nullptr);
    }
    EXPECT_EQ(describe(b.get()), "[s] y=y| K=K| k=k| x=5| z=6|\n");
}

TEST(BodyBlockModel, ValuesKeepEveryByteOfTheLengthGiven) {
    Block b = make();
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "s");
    ::lumo_bb_seg_addelement_b(s, "bin", "a\0b\0", 4);
    ::lumo_bb_seg_addelement_b(s, "empty", "ignored", 0);
    ::lumo_bb_seg_addelement_b(s, "text", "up to nul\0not this", -1);
    ::lumo_bb_seg_addelement_b(s, "prefix", "abcdef", 3);
    EXPECT_EQ(describe(b.get()), std::string("[s] bin=a\0b\0| empty=| text=up to nul| prefix=abc|\n", 50));
    for (lumo_bb_elem *e = ::lumo_bb_elemlist_getfirst(::lumo_bb_seg_getelements(s)); e != nullptr;
         e = ::lumo_bb_elemlist_getnext(e)) {
        std::uint32_t length = 0;
        EXPECT_EQ(::lumo_bb_elem_getvalue(e, &length)[length], '\0') << ::lumo_bb_elem_getname(e);
    }
    std::uint32_t length = 77;
    EXPECT_EQ(::lumo_bb_seg_getelement(s, "missing", &length), nullptr);
    EXPECT_EQ(length, 0u);
}

TEST(BodyBlockModel, DestroyingAVeryDeepTreeNeedsNoCallDepth) {
    Block b = make();
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "0");
    for (int i = 1; i < 200000 && s != nullptr; ++i) {
        ::lumo_bb_seg_addelement(s, "k", "v");
        s = ::lumo_bb_seg_addsegment(s, "n");
    }
    ASSERT_NE(s, nullptr);
    b.reset();  // the leak checker of the sanitizer build sees the rest
}

TEST(BodyBlockText, IndentedByDepthWithUnprintableValuesAsBinaryData) {
    Block b = make();
    EXPECT_EQ(::lumo_bb_toString(b.get()), nullptr);
    lumo_bb_seg *a = ::lumo_bb_addsegment(b.get(), "a");
    ::lumo_bb_seg_addelement(a, "k", "v");
    lumo_bb_seg *child = ::lumo_bb_seg_addsegment(a, "b");
    ::lumo_bb_seg_addelement(child, "x", "1");
    ::lumo_bb_seg_addelement(a, "later", "");
    ::lumo_bb_seg_addsegment(::lumo_bb_seg_addsegment(child, "c"), "d");
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "s");
    for (const char *value : {"a\tb", "line\n", "caf\xC3\xA9", "\x7F"}) ::lumo_bb_seg_addelement(s, value, value);
    ::lumo_bb_seg_addelement_b(s, "nul", "a\0b", 3);
    ::lumo_bb_seg_addelement_b(s, "plain", " ~!x", 4);
    const std::string small =
        "Seg:a\n  k=v\n  later=\n  Seg:b\n    x=1\n    Seg:c\n      Seg:d\nSeg:s\n  a\tb=<binary-data>\n"
        "  line\n=<binary-data>\n  caf\xC3\xA9=<binary-data>\n  \x7F=<binary-data>\n  nul=<binary-data>\n"
        "  plain= ~!x\n";
    EXPECT_EQ(text_of(b.get()), small);

    // A long text grows its buffer several times; a failure at any step
    // gives no text at all rather than one with lines missing.
    for (int i = 0; i < 200; ++i)
        ::lumo_bb_seg_addelement(::lumo_bb_addsegment(b.get(), ("s" + std::to_string(i)).c_str()), "k",
                                 std::string(20, 'v').c_str());
    const std::string full = text_of(b.get());
    EXPECT_EQ(full.substr(0, small.size()), small);
    EXPECT_GT(full.size(), 4096u);
    int tried = test::for_each_allocation_failure([&] {
        char *text = vavevar::lumo_bb_toString(b.get());
        const bool ok = text != nullptr;
        EXPECT_EQ(ok ? std::string(text) : full, full);
        std::free(text);
        return ok;
    });
    EXPECT_GT(tried, 2);
}

// "01 00 02 61" -> the bytes; 'x' stands for the character itself.
Bytes hex(const char *text) {
    Bytes out;
    for (const char *p = text; *p != '\0'; p += *p == ' ' ? 1 : *p == '\'' ? 3 : 2)
        if (*p != ' ') out += *p == '\'' ? p[1] : static_cast<char>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16));
    return out;
}

const Bytes kSignature("\x00\xA3\x7C\x08\xE7\x78\xEE\x24\x5F\xD3\xB6\x4E", 12);
Bytes body(const char *records) { return kSignature + hex(records); }
// A segment record of `name` at `level`, as the encoder writes it.
Bytes seg(const std::string &name, int level) {
    const std::size_t field = name.size() + 1;
    return Bytes("\x01", 1) + static_cast<char>(field >> 8) + static_cast<char>(field & 0xFF) + name +
           Bytes(1, '\0') + static_cast<char>(level);
}

// r{a=1} > c > g{b=""}, then a top-level t.
Block sample_tree() {
    Block b = make();
    lumo_bb_seg *r = ::lumo_bb_addsegment(b.get(), "r");
    ::lumo_bb_seg_addelement(r, "a", "1");
    lumo_bb_seg *g = ::lumo_bb_seg_addsegment(::lumo_bb_seg_addsegment(r, "c"), "g");
    ::lumo_bb_seg_addelement(g, "b", "");
    ::lumo_bb_addsegment(b.get(), "t");
    return b;
}

const char kSampleRecords[] =
    "01 00 02 'r' 00 00"
    "02 00 01 'a' 00 00 01 '1' 00"
    "01 00 02 'c' 00 01"
    "01 00 02 'g' 00 02"
    "02 00 01 'b' 00 00 00 00"
    "01 00 02 't' 00 00";

TEST(BodyBlockCodec, GoldenEncodings) {
    Block tree = sample_tree();
    EXPECT_EQ(encode(tree.get()), body(kSampleRecords));
    // Binary values go as they are, with the NUL every stored value has;
    // lengths are big-endian.
    Block bin = make();
    lumo_bb_seg *s = ::lumo_bb_addsegment(bin.get(), "");
    ::lumo_bb_seg_addelement_b(s, "", "\0\xFF\0", 3);
    ::lumo_bb_seg_addelement(s, "v", std::string(258, 'v').c_str());
    EXPECT_EQ(encode(bin.get()),
              body("01 00 01 00 00 02 00 00 00 00 03 00 FF 00 00 02 00 01 'v' 00 01 02") + std::string(258, 'v') +
                  Bytes(1, '\0'));

    Block empty = make();
    EXPECT_EQ(encode(empty.get()), kSignature);
}

TEST(BodyBlockCodec, DecodesRecordsIntoTheTreeUpToTheFirstItCannotTrust) {
    const Bytes a = seg("a", 0);
    Bytes odd_tag = seg("b", 0);
    odd_tag[0] = 3;  // tags other than element and end mark start a segment record
    const struct {
        const char *what;
        Bytes records;
        const char *tree;
    } cases[] = {
        {"nesting by level", hex(kSampleRecords), "[r] a=1|\n.[c]\n..[g] b=|\n[t]\n"},
        {"a lower level closes the open segments down to it",
         a + seg("b", 1) + seg("c", 2) + seg("d", 1) + seg("e", 0) + seg("f", 1),
         "[a]\n.[b]\n..[c]\n.[d]\n[e]\n.[f]\n"},
        {"siblings of one name stay apart",
         a + hex("02 00 01 'k' 00 00 01 '1' 00") + a + hex("02 00 01 'k' 00 00 01 '2' 00"), "[a] k=1|\n[a] k=2|\n"},
        {"elements of one name merge",
         a + hex("02 00 01 'x' 00 00 01 '1' 00 02 00 01 'y' 00 00 01 '2' 00 02 00 01 'x' 00 00 01 '3' 00"),
         "[a] y=2| x=3|\n"},
        {"element first", hex("02 00 01 'k' 00 00 01 'v' 00"), ""},
        {"first segment not at level 0", seg("a", 1), ""},
        {"end mark", a + hex("04") + seg("b", 0), "[a]\n"},
        {"skipped level", a + seg("b", 1) + seg("c", 3) + seg("d", 0), "[a]\n.[b]\n"},
        {"odd tag", a + odd_tag, "[a]\n[b]\n"},
        // A length of 0xFFFF is never written; it ends decoding even when the
        // body has the bytes it would claim. 0xFFFE is still read.
        {"segment name 0xFFFF", a + hex("01 FF FF") + Bytes(65536, '\0'), "[a]\n"},
        {"segment name 0xFFFE", a + hex("01 FF FE") + Bytes(65535, '\0'), "[a]\n[]\n"},
        {"element name 0xFFFF", a + hex("02 FF FF") + Bytes(65536, 'x') + hex("00 01 'v' 00") + seg("b", 0), "[a]\n"},
        {"value 0xFFFF", a + hex("02 00 01 'k' 00 FF FF") + Bytes(65536, 'v') + seg("b", 0), "[a]\n"},
    };
    for (const auto &c : cases) {
        Block b = decode(kSignature + c.records);
        ASSERT_NE(b, nullptr) << c.what;
        EXPECT_EQ(describe(b.get()), c.tree) << c.what;
    }

    // A name field without its NUL gives the name its record declares; one
    // with an early NUL gives the text before it, which is what encodes again.
    Block names = decode(body("01 00 04 'a' 'b' 00 'c' 00 02 00 02 'x' 'y' 'z' 00 01 'v' 00"
                              "02 00 02 'p' 00 'q' 00 01 'w' 00"));
    EXPECT_EQ(encode(names.get()), body("01 00 03 'a' 'b' 00 00 02 00 02 'x' 'y' 00 00 01 'v' 00"
                                        "02 00 01 'p' 00 00 01 'w' 00"));

    // Not a body: a wrong byte in the signature.
    for (std::size_t i = 0; i < kSignature.size(); ++i) {
        Bytes wrong = kSignature + a;
        wrong[i] = static_cast<char>(wrong[i] ^ 0x01);
        EXPECT_EQ(decode(wrong), nullptr) << "byte " << i;
    }
}

// Offsets at which the records of a well-formed body end.
std::vector<std::size_t> record_ends(const Bytes &b) {
    std::vector<std::size_t> ends{12};
    auto u16 = [&](std::size_t at) {
        return std::size_t{static_cast<unsigned char>(b[at])} << 8 | static_cast<unsigned char>(b[at + 1]);
    };
    for (std::size_t at = 12; at < b.size(); ends.push_back(at)) {
        at += 3 + u16(at + 1) + 1;
        if (b[ends.back()] == 2) at += 2 + u16(at) + 1;  // an element's value
    }
    return ends;
}

Block rich_tree() {
    Block b = sample_tree();
    lumo_bb_seg *t = ::lumo_bb_getsegment(b.get(), "t");
    ::lumo_bb_seg_addelement_b(t, "bin", "\0\x01\x02\0", 4);
    ::lumo_bb_seg_addelement(t, "", "empty name");
    lumo_bb_seg *u = ::lumo_bb_seg_addsegment(t, "u\x80\xFF");
    ::lumo_bb_seg_addelement(u, "long\xFE", std::string(300, 'L').c_str());
    ::lumo_bb_seg_addsegment(::lumo_bb_seg_addsegment(u, "deep"), "");
    ::lumo_bb_addsegment(b.get(), "last");
    return b;
}

// A cut body keeps exactly the records before the cut; a corrupted byte gives
// a block that encodes into a body that decodes into the same block again.
TEST(BodyBlockCodec, TruncatedAndCorruptedBodiesDecodeIntoBlocksThatEncodeAgain) {
    Block tree = rich_tree();
    const Bytes full = encode(tree.get());
    const std::vector<std::size_t> ends = record_ends(full);
    ASSERT_EQ(ends.back(), full.size());
    for (std::size_t cut = 0; cut <= full.size(); ++cut) {
        Block part = decode(full.substr(0, cut));
        if (cut < 12) {
            EXPECT_EQ(part, nullptr) << "cut " << cut;
            continue;
        }
        ASSERT_NE(part, nullptr) << "cut " << cut;
        std::size_t complete = 12;
        for (std::size_t end : ends)
            if (end <= cut) complete = end;
        EXPECT_EQ(encode(part.get()), full.substr(0, complete)) << "cut " << cut;

        for (unsigned char value : {0x00, 0x01, 0x02, 0x04, 0x7F, 0xFF}) {
            if (cut == full.size()) break;
            Bytes bad = full;
            bad[cut] = static_cast<char>(value);
            const Bytes again = encode(decode(bad).get());
            ASSERT_FALSE(again.empty()) << "at " << cut;
            EXPECT_EQ(encode(decode(again).get()), again) << "at " << cut;
        }
    }
    EXPECT_EQ(describe(decode(full).get()), describe(tree.get()));
}

// Refused with the length slot left alone.
bool refused(lumo_bb *block) {
    std::uint32_t length = 42;
    return ::lumo_bb_block2body(block, &length) == nullptr && length == 42;
}

TEST(BodyBlockCodec, LimitsOfTheFormat) {
    auto single = [](const std::string &seg_name, const std::string &elem_name, const std::string &value) {
        Block b = make();
        ::lumo_bb_seg_addelement_b(::lumo_bb_addsegment(b.get(), seg_name.c_str()), elem_name.c_str(), value.data(),
                                   static_cast<std::int32_t>(value.size()));
        return b;
    };
    const std::string s_max(65533, 's'), e_max(65534, 'e'), v_max(65534, '\0');
    Block at_limit = single(s_max, e_max, v_max);
    const Bytes encoded = encode(at_limit.get());
    ASSERT_FALSE(encoded.empty());
    EXPECT_EQ(encoded.substr(12, 3), hex("01 FF FE"));
    EXPECT_EQ(describe(decode(encoded).get()), describe(at_limit.get()));
    EXPECT_TRUE(refused(single(s_max + "s", "e", "v").get()));
    EXPECT_TRUE(refused(single("s", e_max + "e", "v").get()));
    EXPECT_TRUE(refused(single("s", "e", v_max + '\0').get()));

    // Levels 0 to 255 fit the level byte; one more does not.
    Block deep = make();
    lumo_bb_seg *s = ::lumo_bb_addsegment(deep.get(), "0");
    for (int level = 1; level <= 255; ++level) s = ::lumo_bb_seg_addsegment(s, "n");
    ::lumo_bb_addsegment(deep.get(), "top");
    const Bytes deepest = encode(deep.get());
    ASSERT_FALSE(deepest.empty());
    EXPECT_EQ(encode(decode(deepest).get()), deepest);
    ::lumo_bb_seg_addsegment(s, "too deep");
    EXPECT_TRUE(refused(deep.get()));
}

TEST(BodyBlockCodec, RunningOutOfMemory) {
    Block tree = rich_tree();
    const Bytes full = encode(tree.get());
    {
        test::AllocFault fault(0);
        EXPECT_TRUE(refused(tree.get()));
    }
    // Whatever fails, decoding leaves no partial block behind unreleased and
    // returns a block that encodes to a well-formed body.
    int tried = test::for_each_allocation_failure([&] {
        lumo_bb *b = vavevar::lumo_bb_body2block(full.data(), static_cast<std::int32_t>(full.size()));
        if (b == nullptr) return false;
        vavevar::lumo_alloc_fault_clear();
        Bytes again = encode(b);
        vavevar::lumo_bb_destroy(b);
        return again == full;
    });
    EXPECT_GT(tried, 10);
}

}  // namespace
}  // namespace vavevar
