// Building, searching, walking and rendering blocks through the exported
// interface.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "bb_test_util.h"
#include "bodyblock/bodyblock.h"
#include "support/alloc_fault.h"

namespace vavevar {
namespace {

using test::Block;
using test::describe;

TEST(BodyBlockModel, SegmentsAreFoundByTheirExactNameAndAddedOnlyOnce) {
    Block b(::lumo_bb_create());
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
    lumo_bb_seg *upper = ::lumo_bb_addsegment(b.get(), "A");
    EXPECT_NE(upper, a);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), ""), empty);
    EXPECT_EQ(::lumo_bb_getsegment(b.get(), "aa"), nullptr);
    EXPECT_EQ(describe(b.get()), "[a] k=v|\n.[c]\n[]\n[A]\n");

    // Names whose hashes collide, at different and at equal lengths.
    const char *colliding[] = {"\x03\x01", "\x01", "\x02\x01", "\x04\x02"};
    ASSERT_EQ(lumo_bb_hash(colliding[0], 2), lumo_bb_hash(colliding[1], 1));
    ASSERT_EQ(lumo_bb_hash(colliding[2], 2), lumo_bb_hash(colliding[3], 2));
    Block c(::lumo_bb_create());
    lumo_bb_seg *added[4];
    for (int i = 0; i < 4; ++i) added[i] = ::lumo_bb_addsegment(c.get(), colliding[i]);
    EXPECT_EQ(::lumo_bb_getsegments(c.get())->count, 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(::lumo_bb_getsegment(c.get(), colliding[i]), added[i]);
}

TEST(BodyBlockModel, AddingAnExistingElementReplacesItAndMovesItToTheEnd) {
    Block b(::lumo_bb_create());
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
}

TEST(BodyBlockModel, ValuesKeepEveryByteAndAlwaysEndInANul) {
    Block b(::lumo_bb_create());
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "s");
    ::lumo_bb_seg_addelement_b(s, "bin", "a\0b\0", 4);
    ::lumo_bb_seg_addelement_b(s, "empty", "ignored", 0);
    ::lumo_bb_seg_addelement_b(s, "text", "up to nul\0not this", -1);
    ::lumo_bb_seg_addelement_b(s, "prefix", "abcdef", 3);
    EXPECT_EQ(::lumo_bb_seg_addelement_b(s, "bin", "x", -2), nullptr);  // refused, nothing changes
    EXPECT_EQ(describe(b.get()), std::string("[s] bin=a\0b\0| empty=| text=up to nul| prefix=abc|\n", 50));
    for (lumo_bb_elem *e = ::lumo_bb_elemlist_getfirst(::lumo_bb_seg_getelements(s)); e != nullptr;
         e = ::lumo_bb_elemlist_getnext(e)) {
        std::uint32_t length = 0;
        EXPECT_EQ(::lumo_bb_elem_getvalue(e, &length)[length], '\0') << ::lumo_bb_elem_getname(e);
    }
}

TEST(BodyBlockModel, TheLengthSlotOfALookupIsLeftAloneOnlyForANullSegment) {
    std::uint32_t length = 77;
    EXPECT_EQ(::lumo_bb_seg_getelement(nullptr, "a", &length), nullptr);
    EXPECT_EQ(length, 77u);
    EXPECT_EQ(::lumo_bb_elem_getvalue(nullptr, &length), nullptr);
    EXPECT_EQ(length, 0u);
    Block b(::lumo_bb_create());
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "s");
    for (const char *name : {static_cast<const char *>(nullptr), "missing"}) {
        length = 77;
        EXPECT_EQ(::lumo_bb_seg_getelement(s, name, &length), nullptr);
        EXPECT_EQ(length, 0u);
    }
    EXPECT_EQ(::lumo_bb_seg_addelement(s, "k", nullptr), nullptr);
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
        vavevar::lumo_bb_destroy(b);
        return s != nullptr && c != nullptr && e != nullptr;
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

std::string text_of(lumo_bb *block) {
    char *text = ::lumo_bb_toString(block);
    if (text == nullptr) return "<null>";
    std::string out = text;
    std::free(text);
    return out;
}

TEST(BodyBlockText, SegmentsThenElementsThenChildrenIndentedByDepth) {
    EXPECT_EQ(::lumo_bb_toString(nullptr), nullptr);
    Block b(::lumo_bb_create());
    EXPECT_EQ(::lumo_bb_toString(b.get()), nullptr);
    lumo_bb_seg *a = ::lumo_bb_addsegment(b.get(), "a");
    ::lumo_bb_seg_addelement(a, "k", "v");
    lumo_bb_seg *child = ::lumo_bb_seg_addsegment(a, "b");
    ::lumo_bb_seg_addelement(child, "x", "1");
    ::lumo_bb_seg_addelement(a, "later", "");
    ::lumo_bb_seg_addsegment(::lumo_bb_seg_addsegment(child, "c"), "d");
    ::lumo_bb_addsegment(b.get(), "alone");
    EXPECT_EQ(text_of(b.get()),
              "Seg:a\n  k=v\n  later=\n  Seg:b\n    x=1\n    Seg:c\n      Seg:d\nSeg:alone\n");
}

TEST(BodyBlockText, UnprintableValuesShowAsBinaryData) {
    Block b(::lumo_bb_create());
    lumo_bb_seg *s = ::lumo_bb_addsegment(b.get(), "s");
    ::lumo_bb_seg_addelement(s, "tab", "a\tb");
    ::lumo_bb_seg_addelement(s, "lf", "line\n");
    ::lumo_bb_seg_addelement_b(s, "nul", "a\0b", 3);
    ::lumo_bb_seg_addelement(s, "high", "caf\xC3\xA9");
    ::lumo_bb_seg_addelement(s, "del", "\x7F");
    ::lumo_bb_seg_addelement_b(s, "plain", " ~!x", 4);
    EXPECT_EQ(text_of(b.get()),
              "Seg:s\n  tab=<binary-data>\n  lf=<binary-data>\n  nul=<binary-data>\n"
              "  high=<binary-data>\n  del=<binary-data>\n  plain= ~!x\n");
}

TEST(BodyBlockText, LongTextsGrowTheBufferAndFailureLeavesNothing) {
    Block b(::lumo_bb_create());
    for (int i = 0; i < 200; ++i)
        ::lumo_bb_seg_addelement(::lumo_bb_addsegment(b.get(), ("s" + std::to_string(i)).c_str()),
                                 "k", std::string(20, 'v').c_str());
    const std::string full = text_of(b.get());
    EXPECT_GT(full.size(), 4096u);
    EXPECT_EQ(full.substr(0, 34), "Seg:s0\n  k=vvvvvvvvvvvvvvvvvvvv\nSe");

    int tried = test::for_each_allocation_failure([&] {
        char *text = vavevar::lumo_bb_toString(b.get());
        const bool ok = text != nullptr;
        if (ok) {
            EXPECT_EQ(std::string(text), full);
        }
        std::free(text);
        return ok;
    });
    EXPECT_GT(tried, 1);
}

}  // namespace
}  // namespace vavevar
