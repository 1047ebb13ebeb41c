// Whatever the decoder makes of any bytes can be rendered, and encodes into a
// body that decodes into the same block: encoding it again gives the same
// bytes and rendering it again gives the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "vavevar.h"

namespace {

struct Encoded {
    void *bytes = nullptr;
    std::uint32_t length = 0;
    explicit Encoded(lumo_bb *block) { bytes = lumo_bb_block2body(block, &length); }
    ~Encoded() { std::free(bytes); }
    Encoded(const Encoded &) = delete;
    Encoded &operator=(const Encoded &) = delete;
};

bool same_text(const char *a, const char *b) {
    return (a == nullptr && b == nullptr) || (a != nullptr && b != nullptr && std::strcmp(a, b) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > INT32_MAX) return 0;
    std::unique_ptr<std::uint8_t[]> body(new std::uint8_t[size > 0 ? size : 1]);
    if (size > 0) std::memcpy(body.get(), data, size);
    lumo_bb *block = lumo_bb_body2block(body.get(), static_cast<std::int32_t>(size));
    if (block == nullptr) return 0;

    char *text = lumo_bb_toString(block);
    Encoded first(block);
    if (first.bytes == nullptr) __builtin_trap();  // a decoded block always fits the format
    lumo_bb *again = lumo_bb_body2block(first.bytes, static_cast<std::int32_t>(first.length));
    if (again == nullptr) __builtin_trap();
    Encoded second(again);
    char *text_again = lumo_bb_toString(again);
    if (second.bytes == nullptr || second.length != first.length ||
        std::memcmp(first.bytes, second.bytes, first.length) != 0 || !same_text(text, text_again))
        __builtin_trap();

    std::free(text);
    std::free(text_again);
    lumo_bb_destroy(again);
    lumo_bb_destroy(block);
    return 0;
}
