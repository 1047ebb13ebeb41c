#include "bodyblock/bb_walk.h"
#include "bodyblock/bodyblock.h"
#include "port/memory.h"
#include "port/textbuf.h"

namespace vavevar {
namespace {

// A byte shows as itself only when it is printable in the C locale. Bytes from
// 0x80 up never are, whatever locale the application has set, which is what
// classifying them as signed characters gives.
bool printable(unsigned char byte) { return byte >= 0x20 && byte <= 0x7E; }

const char *value_text(const lumo_bb_elem *elem) {
    if (elem->value == nullptr) return "(null)";
    for (std::int32_t i = 0; i < elem->value_len; ++i)
        if (!printable(static_cast<unsigned char>(elem->value[i]))) return "<binary-data>";
    return elem->value;
}

int indent(std::uint32_t depth) {
    return depth < INT32_MAX / 2 ? static_cast<int>(2 * depth) : INT32_MAX - 1;
}

}  // namespace

char *lumo_bb_toString(lumo_bb *block) noexcept {
    if (block->first == nullptr) return nullptr;
    char *text = nullptr;
    bool ok = true;
    BbWalk walk(block, UINT32_MAX);
    for (lumo_bb_seg *seg; ok && (seg = walk.segment()) != nullptr;) {
        const int width = indent(walk.depth());
        ok = lumo_textbuf_printf(&text, "%*sSeg:%s\n", width, "", seg->name) >= 0;
        for (const lumo_bb_elem *elem = seg->elements.first; ok && elem != nullptr; elem = elem->next)
            ok = lumo_textbuf_printf(&text, "%*s  %s=%s\n", width, "", elem->name,
                                     value_text(elem)) >= 0;
        ok = ok && walk.advance();
    }
    // A text with lines missing would misrepresent the block.
    if (!ok) {
        lumo_free(text);
        return nullptr;
    }
    return text;
}

}  // namespace vavevar
