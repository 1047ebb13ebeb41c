// The text form of a block.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "bb_test_util.h"
#include "bodyblock/bodyblock.h"
#include "support/alloc_fault.h"

namespace vavevar {
namespace {

using test::Block;

std::string text_of(lumo_bb *block) {
    char *text = ::lumo_bb_toString(block);
    if (text == nullptr) return "<null>";
    std::string out = text;
    std::free(text);
    return out;
}

TEST(BodyBlockText, SegmentsThenElementsThenChildrenIndentedByDepth) {
    Block b(::lumo_bb_create());
    lumo_bb_seg *a = ::lumo_bb_addsegment(b.get(), "a");
    ::lumo_bb_seg_addelement(a, "k", "v");
    lumo_bb_seg *child = ::lumo_bb_seg_addsegment(a, "b");
    ::lumo_bb_seg_addelement(child, "x", "1");
    EXPECT_EQ(text_of(b.get()), "Seg:a\n  k=v\n  Seg:b\n    x=1\n");

    ::lumo_bb_seg_addelement(a, "later", "");
    ::lumo_bb_seg_addsegment(::lumo_bb_seg_addsegment(child, "c"), "d");
    ::lumo_bb_addsegment(b.get(), "alone");
    EXPECT_EQ(text_of(b.get()),
              "Seg:a\n  k=v\n  later=\n  Seg:b\n    x=1\n    Seg:c\n      Seg:d\nSeg:alone\n");
}

TEST(BodyBlockText, NullAndEmptyBlocksHaveNoText) {
    EXPECT_EQ(::lumo_bb_toString(nullptr), nullptr);
    Block b(::lumo_bb_create());
    EXPECT_EQ(::lumo_bb_toString(b.get()), nullptr);
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
