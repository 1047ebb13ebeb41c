// The encoded form on the wire, byte for byte, and the decoder's behaviour on
// truncated and corrupted bodies.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bb_test_util.h"
#include "bodyblock/bodyblock.h"
#include "support/alloc_fault.h"

namespace vavevar {
namespace {

using test::Block;
using test::Bytes;
using test::decode;
using test::describe;
using test::encode;
using test::signature;

// "01 00 02 61" -> the bytes; 'x' stands for the character itself.
Bytes hex(const char *text) {
    Bytes out;
    for (const char *p = text; *p != '\0';) {
        if (*p == ' ') {
            ++p;
        } else if (*p == '\'') {
            out += p[1];
            p += 3;
        } else {
            out += static_cast<char>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16));
            p += 2;
        }
    }
    return out;
}

Bytes body(const char *records) { return signature() + hex(records); }
// A segment record of `name` at `level`, as the encoder writes it.
Bytes seg(const std::string &name, int level) {
    const std::size_t field = name.size() + 1;
    return Bytes("\x01", 1) + static_cast<char>(field >> 8) + static_cast<char>(field & 0xFF) +
           name + Bytes(1, '\0') + static_cast<char>(level);
}

Block sample_tree() {
    // r{a=1} > c > g{b=""}, then a top-level t.
    Block b(::lumo_bb_create());
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
    Block b(::lumo_bb_create());
    ::lumo_bb_seg_addelement(::lumo_bb_addsegment(b.get(), "a"), "k", "v");
    EXPECT_EQ(encode(b.get()), body("01 00 02 61 00 00 02 00 01 6B 00 00 01 76 00"));

    Block tree = sample_tree();
    EXPECT_EQ(encode(tree.get()), body(kSampleRecords));

    // Binary values go as they are, with the NUL every stored value has.
    Block bin(::lumo_bb_create());
    ::lumo_bb_seg_addelement_b(::lumo_bb_addsegment(bin.get(), ""), "", "\0\xFF\0", 3);
    EXPECT_EQ(encode(bin.get()), body("01 00 01 00 00 02 00 00 00 00 03 00 FF 00 00"));

    Block empty(::lumo_bb_create());
    EXPECT_EQ(encode(empty.get()), signature());
    EXPECT_EQ(encode(nullptr), signature());
    EXPECT_EQ(::lumo_bb_block2body(empty.get(), nullptr), nullptr);
}

TEST(BodyBlockCodec, DecodesRecordsIntoTheTreeAndStopsAtTheFirstItCannotTrust) {
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
         a + hex("02 00 01 'k' 00 00 01 '1' 00") + a + hex("02 00 01 'k' 00 00 01 '2' 00"),
         "[a] k=1|\n[a] k=2|\n"},
        {"elements of one name merge",
         a + hex("02 00 01 'x' 00 00 01 '1' 00 02 00 01 'y' 00 00 01 '2' 00"
                 "02 00 01 'x' 00 00 01 '3' 00"),
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
        {"element name 0xFFFF",
         a + hex("02 FF FF") + Bytes(65536, 'x') + hex("00 01 'v' 00") + seg("b", 0), "[a]\n"},
        {"value 0xFFFF", a + hex("02 00 01 'k' 00 FF FF") + Bytes(65536, 'v') + seg("b", 0),
         "[a]\n"},
    };
    for (const auto &c : cases) {
        Block b = decode(signature() + c.records);
        ASSERT_NE(b, nullptr) << c.what;
        EXPECT_EQ(describe(b.get()), c.tree) << c.what;
    }

    // A name field without its NUL gives the name its record declares; one
    // with an early NUL gives the text before it, which is what encodes again.
    Block names = decode(body("01 00 04 'a' 'b' 00 'c' 00 02 00 02 'x' 'y' 'z' 00 01 'v' 00"
                              "02 00 02 'p' 00 'q' 00 01 'w' 00"));
    EXPECT_EQ(encode(names.get()), body("01 00 03 'a' 'b' 00 00 02 00 02 'x' 'y' 00 00 01 'v' 00"
                                        "02 00 01 'p' 00 00 01 'w' 00"));
}

TEST(BodyBlockCodec, RefusesWhatIsNotABody) {
    const Bytes sig = signature();  // shorter bodies: see the truncation test
    for (std::size_t i = 0; i < sig.size(); ++i) {
        Bytes wrong = sig + seg("a", 0);
        wrong[i] = static_cast<char>(wrong[i] ^ 0x01);
        EXPECT_EQ(decode(wrong), nullptr) << "byte " << i;
    }
    EXPECT_EQ(::lumo_bb_body2block(nullptr, 40), nullptr);
    EXPECT_EQ(::lumo_bb_body2block(sig.data(), -1), nullptr);
}

// Offsets at which the records of a well-formed body end.
std::vector<std::size_t> record_ends(const Bytes &b) {
    std::vector<std::size_t> ends{12};
    auto u16 = [&](std::size_t at) {
        return std::size_t{static_cast<unsigned char>(b[at])} << 8 | static_cast<unsigned char>(b[at + 1]);
    };
    for (std::size_t at = 12; at < b.size();) {
        if (b[at] == 1) {
            at += 3 + u16(at + 1) + 1;
        } else {
            std::size_t value_at = at + 3 + u16(at + 1) + 1;
            at = value_at + 2 + u16(value_at) + 1;
        }
        ends.push_back(at);
    }
    return ends;
}

Block rich_tree() {
    Block b = sample_tree();
    lumo_bb_seg *t = ::lumo_bb_getsegment(b.get(), "t");
    ::lumo_bb_seg_addelement_b(t, "bin", "\0\x01\x02\0", 4);
    ::lumo_bb_seg_addelement(t, "", "empty name");
    lumo_bb_seg *u = ::lumo_bb_seg_addsegment(t, "u");
    ::lumo_bb_seg_addelement(u, "long", std::string(300, 'L').c_str());
    ::lumo_bb_seg_addsegment(::lumo_bb_seg_addsegment(u, "deep"), "");
    ::lumo_bb_addsegment(b.get(), "last");
    return b;
}

TEST(BodyBlockCodec, EveryTruncationKeepsTheRecordsBeforeTheCut) {
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
    }
}

TEST(BodyBlockCodec, CorruptedBytesDecodeIntoBlocksThatEncodeAgain) {
    Block tree = rich_tree();
    const Bytes full = encode(tree.get());
    for (std::size_t at = 12; at < full.size(); ++at) {
        for (unsigned char value : {0x00, 0x01, 0x02, 0x04, 0x7F, 0xFF}) {
            Bytes bad = full;
            bad[at] = static_cast<char>(value);
            Block decoded = decode(bad);
            ASSERT_NE(decoded, nullptr);
            const Bytes again = encode(decoded.get());
            ASSERT_FALSE(again.empty()) << "at " << at;
            Block twice = decode(again);
            EXPECT_EQ(encode(twice.get()), again) << "at " << at;
        }
    }
}

TEST(BodyBlockCodec, LimitsOfTheFormat) {
    auto single = [](const std::string &seg_name, const std::string &elem_name,
                     const std::string &value) {
        Block b(::lumo_bb_create());
        lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), seg_name.c_str());
        ::lumo_bb_seg_addelement_b(s, elem_name.c_str(), value.data(),
                                   static_cast<std::int32_t>(value.size()));
        return b;
    };
    const std::string s_max(65533, 's'), e_max(65534, 'e'), v_max(65534, '\0');
    Block at_limit = single(s_max, e_max, v_max);
    const Bytes encoded = encode(at_limit.get());
    ASSERT_FALSE(encoded.empty());
    EXPECT_EQ(encoded.substr(12, 3), hex("01 FF FE"));
    Block back = decode(encoded);
    EXPECT_EQ(describe(back.get()), describe(at_limit.get()));

    Block overs[] = {single(s_max + "s", "e", "v"), single("s", e_max + "e", "v"),
                     single("s", "e", v_max + '\0')};
    for (Block &over : overs) {
        std::uint32_t length = 42;
        EXPECT_EQ(::lumo_bb_block2body(over.get(), &length), nullptr);
        EXPECT_EQ(length, 42u);
    }

    // Levels 0 to 255 fit the level byte; one more does not.
    Block deep(::lumo_bb_create());
    lumo_bb_seg *s = ::lumo_bb_addsegment(deep.get(), "0");
    for (int level = 1; level <= 255; ++level) s = ::lumo_bb_seg_addsegment(s, "n");
    ::lumo_bb_addsegment(deep.get(), "top");
    const Bytes deepest = encode(deep.get());
    ASSERT_FALSE(deepest.empty());
    EXPECT_EQ(encode(decode(deepest).get()), deepest);
    ::lumo_bb_seg_addsegment(s, "too deep");
    std::uint32_t length = 42;
    EXPECT_EQ(::lumo_bb_block2body(deep.get(), &length), nullptr);
    EXPECT_EQ(length, 42u);
}

// Random trees within the limits: names of any non-NUL bytes (empty ones
// too), values of any bytes, up to a few levels.
void grow(std::mt19937 &rng, lumo_bb_seg *seg, int depth) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto name = [&] {
        std::string text(static_cast<std::size_t>(pick(4) == 0 ? 0 : pick(9)), 'x');
        for (char &c : text) c = static_cast<char>(1 + pick(255));
        return text;
    };
    for (int i = pick(5); i > 0; --i) {
        std::string value(static_cast<std::size_t>(pick(3) == 0 ? pick(300) : pick(12)), 'x');
        for (char &c : value) c = static_cast<char>(pick(256));
        ::lumo_bb_seg_addelement_b(seg, name().c_str(), value.data(),
                                   static_cast<std::int32_t>(value.size()));
    }
    if (depth < 5)
        for (int i = pick(4); i > 0; --i) grow(rng, ::lumo_bb_seg_addsegment(seg, name().c_str()), depth + 1);
}

TEST(BodyBlockCodec, RandomTreesSurviveEncodeDecodeEncode) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        Block b(::lumo_bb_create());
        for (int i = static_cast<int>(rng() % 5); i > 0; --i) {
            std::string top = "top" + std::to_string(rng() % 8);
            grow(rng, ::lumo_bb_addsegment(b.get(), top.c_str()), 1);
        }
        const Bytes first = encode(b.get());
        ASSERT_FALSE(first.empty()) << "seed " << seed;
        Block back = decode(first);
        ASSERT_EQ(describe(back.get()), describe(b.get())) << "seed " << seed;
        ASSERT_EQ(encode(back.get()), first) << "seed " << seed;
    }
}

TEST(BodyBlockCodec, RunningOutOfMemory) {
    Block tree = rich_tree();
    const Bytes full = encode(tree.get());
    std::uint32_t length = 42;
    {
        test::AllocFault fault(0);
        EXPECT_EQ(::lumo_bb_block2body(tree.get(), &length), nullptr);
    }
    EXPECT_EQ(length, 42u);

    // Whatever fails, decoding leaves no partial block behind unreleased and
    // returns a block that encodes to a well-formed body.
    int tried = test::for_each_allocation_failure([&] {
        lumo_bb *b = vavevar::lumo_bb_body2block(full.data(), static_cast<std::int32_t>(full.size()));
        if (b == nullptr) return false;
        std::uint32_t size = 0;
        vavevar::lumo_alloc_fault_clear();
        void *again = vavevar::lumo_bb_block2body(b, &size);
        const bool whole = again != nullptr && Bytes(static_cast<char *>(again), size) == full;
        std::free(again);
        vavevar::lumo_bb_destroy(b);
        return whole;
    });
    EXPECT_GT(tried, 10);
}

}  // namespace
}  // namespace vavevar
