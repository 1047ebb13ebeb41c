// Building, searching and walking blocks through the exported interface.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "bb_test_util.h"
#include "bodyblock/bodyblock.h"
#include "support/alloc_fault.h"

namespace vavevar {
namespace {

using test::Block;
using test::describe;

TEST(BodyBlockModel, AddingAnExistingSegmentReturnsItWithItsContentIntact) {
    Block b(::lumo_bb_create());
    lumo_bb_seg *a = ::lumo_bb_addsegment(b.get(), "a");
    ASSERT_NE(a, nullptr);
    ::lumo_bb_seg_addelement(a, "k", "v");
    lumo_bb_seg *child = ::lumo_bb_seg_addsegment(a, "c");
    ::lumo_bb_addsegment(b.get(), "b");

    EXPECT_EQ(::lumo_bb_addsegment(b.get(), "a"), a);
    EXPECT_EQ(::lumo_bb_seg_addsegment(a, "c"), child);
    EXPECT_EQ(::lumo_bb_getsegments(b.get())->count, 2u);
    EXPECT_EQ(describe(b.get()), "[a] k=v|\n.[c]\n[b]\n");
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), "b"), ::lumo_bb_seglist_getnext(a));
    EXPECT_EQ(::lumo_bb_seg_getsegment(a, "c"), child);
    EXPECT_EQ(::lumo_bb_seg_getsegment(a, "b"), nullptr);
}

TEST(BodyBlockModel, AddingAnExistingElementReplacesItAndMovesItToTheEnd) {
    Block b(::lumo_bb_create());
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "s");
    ::lumo_bb_seg_addelement(s, "x", "1");
    ::lumo_bb_seg_addelement(s, "y", "2");
    ::lumo_bb_seg_addelement(s, "z", "3");
    lumo_bb_elem *e = ::lumo_bb_seg_addelement(s, "x", "four");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(describe(b.get()), "[s] y=2| z=3| x=four|\n");
    EXPECT_EQ(::lumo_bb_seg_getelements(s)->count, 3u);
    EXPECT_EQ(::lumo_bb_seg_getelements(s)->last, e);
    // The list stays walkable backwards too after the unlink.
    EXPECT_STREQ(::lumo_bb_elem_getname(e->prev), "z");
    EXPECT_EQ(::lumo_bb_seg_getelements(s)->first->prev, nullptr);
    std::uint32_t length = 0;
    EXPECT_STREQ(::lumo_bb_seg_getelement(s, "x", &length), "four");
    EXPECT_EQ(length, 4u);

    // Replacing the only element, and the last one, keep the ends right.
    ::lumo_bb_seg_addelement(s, "x", "5");
    ::lumo_bb_seg_addelement(s, "y", "6");
    ::lumo_bb_seg_addelement(s, "z", "7");
    EXPECT_EQ(describe(b.get()), "[s] x=5| y=6| z=7|\n");
}

TEST(BodyBlockModel, ValuesKeepEveryByteAndAlwaysEndInANul) {
    Block b(::lumo_bb_create());
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "s");
    const char binary[] = {'a', '\0', 'b', '\0'};
    ::lumo_bb_seg_addelement_b(s, "bin", binary, 4);
    ::lumo_bb_seg_addelement_b(s, "empty", "ignored", 0);
    ::lumo_bb_seg_addelement_b(s, "text", "up to nul\0not this", -1);
    ::lumo_bb_seg_addelement_b(s, "prefix", "abcdef", 3);

    std::uint32_t length = 99;
    const char *value = ::lumo_bb_seg_getelement(s, "bin", &length);
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(std::string(value, 5), std::string("a\0b\0\0", 5));
    value = ::lumo_bb_seg_getelement(s, "empty", &length);
    EXPECT_EQ(length, 0u);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value[0], '\0');
    EXPECT_STREQ(::lumo_bb_seg_getelement(s, "text", &length), "up to nul");
    EXPECT_EQ(length, 9u);
    EXPECT_STREQ(::lumo_bb_seg_getelement(s, "prefix", &length), "abc");

    // Negative lengths other than -1 are refused and change nothing.
    EXPECT_EQ(::lumo_bb_seg_addelement_b(s, "bin", "x", -2), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getelements(s)->count, 4u);
    ::lumo_bb_seg_getelement(s, "bin", &length);
    EXPECT_EQ(length, 4u);
}

TEST(BodyBlockModel, NamesAreExactCaseSensitiveAndMayBeEmpty) {
    Block b(::lumo_bb_create());
    char name[] = "";
    lumo_bb_seg *empty = ::lumo_bb_addsegment(b.get(), name);
    ASSERT_NE(empty, nullptr);
    EXPECT_NE(::lumo_bb_seg_getname(empty), name);
    EXPECT_STREQ(::lumo_bb_seg_getname(empty), "");
    lumo_bb_seg *lower = ::lumo_bb_addsegment(b.get(), "name");
    lumo_bb_seg *upper = ::lumo_bb_addsegment(b.get(), "Name");
    EXPECT_NE(lower, upper);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), ""), empty);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), "NAME"), nullptr);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), "nam"), nullptr);

    ::lumo_bb_seg_addelement(lower, "", "e");
    ::lumo_bb_seg_addelement(lower, "K", "upper");
    ::lumo_bb_seg_addelement(lower, "k", "lower");
    EXPECT_EQ(describe(b.get()), "[]\n[name] =e| K=upper| k=lower|\n[Name]\n");
}

TEST(BodyBlockModel, LookupsSeeThroughHashCollisions) {
    // Pairs of names with equal hashes: one differing in length, one not.
    const char a[] = "\x03\x01";  // 3 ^ (1 << 1) = 1
    const char b_[] = "\x01";     // 1
    ASSERT_EQ(lumo_bb_hash(a, 2), lumo_bb_hash(b_, 1));
    const char c[] = "\x02\x01";  // 2 ^ 2 = 0, same length as a
    const char d[] = "\x04\x02";  // 4 ^ 4 = 0
    ASSERT_EQ(lumo_bb_hash(c, 2), lumo_bb_hash(d, 2));

    Block b(::lumo_bb_create());
    lumo_bb_seg *sa = ::lumo_bb_addsegment(b.get(), a);
    lumo_bb_seg *sb = ::lumo_bb_addsegment(b.get(), b_);
    lumo_bb_seg *sc = ::lumo_bb_addsegment(b.get(), c);
    lumo_bb_seg *sd = ::lumo_bb_addsegment(b.get(), d);
    EXPECT_EQ(::lumo_bb_getsegments(b.get())->count, 4u);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), a), sa);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), b_), sb);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), c), sc);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), d), sd);
}

TEST(BodyBlockModel, NameHashShiftsWrapFrom24BackTo0) {
    // 26 bytes of 0x01: shifts 0..24 set bits 0..24, the 26th byte at shift 0
    // clears bit 0 again.
    const std::string ones(26, '\x01');
    EXPECT_EQ(lumo_bb_hash(ones.data(), ones.size()), 0x01FFFFFEu);
    // Bytes count as unsigned.
    EXPECT_EQ(lumo_bb_hash("\xFF", 1), 0xFFu);
    EXPECT_EQ(lumo_bb_hash("", 0), 0u);
    Block b(::lumo_bb_create());
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), ones.c_str());
    EXPECT_EQ(s->name_hash, 0x01FFFFFEu);
    EXPECT_EQ(s->name_len, 26u);
    EXPECT_EQ(s->level, 0u);
}

TEST(BodyBlockModel, NullArgumentsAreToleratedEverywhere) {
    EXPECT_EQ(::lumo_bb_getsegments(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_getsegment(nullptr, "a"), nullptr);
    EXPECT_EQ(::lumo_bb_addsegment(nullptr, "a"), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getname(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getsegments(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getsegment(nullptr, "a"), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addsegment(nullptr, "a"), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getelements(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addelement(nullptr, "a", "v"), nullptr);
    EXPECT_EQ(::lumo_bb_elem_getname(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seglist_getfirst(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seglist_getnext(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_elemlist_getfirst(nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_elemlist_getnext(nullptr), nullptr);
    ::lumo_bb_destroy(nullptr);

    std::uint32_t length = 77;
    EXPECT_EQ(::lumo_bb_seg_getelement(nullptr, "a", &length), nullptr);
    EXPECT_EQ(length, 77u);  // a null segment leaves the slot alone
    EXPECT_EQ(::lumo_bb_elem_getvalue(nullptr, &length), nullptr);
    EXPECT_EQ(length, 0u);

    Block b(::lumo_bb_create());
    EXPECT_EQ(::lumo_bb_seglist_getfirst(::lumo_bb_getsegments(b.get())), nullptr);
    EXPECT_EQ(static_cast<void *>(::lumo_bb_getsegments(b.get())), static_cast<void *>(b.get()));
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_addsegment(b.get(), nullptr), nullptr);
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "s");
    EXPECT_EQ(::lumo_bb_seg_addsegment(s, nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_getsegment(s, nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addelement(s, nullptr, "v"), nullptr);
    EXPECT_EQ(::lumo_bb_seg_addelement(s, "k", nullptr), nullptr);
    EXPECT_EQ(::lumo_bb_elemlist_getfirst(::lumo_bb_seg_getelements(s)), nullptr);
    length = 77;
    EXPECT_EQ(::lumo_bb_seg_getelement(s, nullptr, &length), nullptr);
    EXPECT_EQ(length, 0u);
    length = 77;
    EXPECT_EQ(::lumo_bb_seg_getelement(s, "missing", &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(::lumo_bb_seg_getelement(s, "missing", nullptr), nullptr);
    EXPECT_EQ(describe(b.get()), "[s]\n");
}

TEST(BodyBlockModel, DestroyingAVeryDeepTreeNeedsNoCallDepth) {
    Block b(::lumo_bb_create());
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "0");
    for (int i = 1; i < 200000 && s != nullptr; ++i) {
        ::lumo_bb_seg_addelement(s, "k", "v");
        s = ::lumo_bb_seg_addsegment(s, "n");
    }
    ASSERT_NE(s, nullptr);
    b.reset();  // the leak checker of the sanitizer build sees the rest
}

TEST(BodyBlockModel, RunningOutOfMemoryLeavesTheBlockAsItWas) {
    int tried = test::for_each_allocation_failure([] {
        lumo_bb *b = vavevar::lumo_bb_create();
        if (b == nullptr) return false;
        lumo_bb_seg *s = vavevar::lumo_bb_addsegment(b, "s");
        lumo_bb_seg *c = vavevar::lumo_bb_seg_addsegment(s, "c");
        lumo_bb_elem *e = vavevar::lumo_bb_seg_addelement(c, "k", "v");
        const bool ok = s != nullptr && c != nullptr && e != nullptr;
        if (s != nullptr) {
            EXPECT_EQ(vavevar::lumo_bb_getsegments(b)->count, 1u);
        }
        if (c == nullptr && s != nullptr) {
            EXPECT_EQ(s->segments.count, 0u);
        }
        vavevar::lumo_bb_destroy(b);
        return ok;
    });
    EXPECT_EQ(tried, 4);

    // A replacement that finds no memory keeps the element it would replace.
    Block b(::lumo_bb_create());
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "s");
    ::lumo_bb_seg_addelement(s, "k", "old");
    ::lumo_bb_seg_addelement(s, "z", "1");
    {
        test::AllocFault fault(0);
        EXPECT_EQ(::lumo_bb_seg_addelement(s, "k", "new"), nullptr);
        EXPECT_EQ(::lumo_bb_addsegment(b.get(), "t"), nullptr);
    }
    EXPECT_EQ(describe(b.get()), "[s] k=old| z=1|\n");
}

}  // namespace
}  // namespace vavevar
