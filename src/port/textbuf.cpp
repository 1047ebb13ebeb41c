#include "port/textbuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "port/memory.h"

namespace vavevar {
namespace {

constexpr std::size_t kTrailer = 12;  // room for the NUL, alignment gap and word

std::size_t word_offset(std::size_t length) { return (length & ~std::size_t{7}) + 8; }

void write_capacity(char *block, std::size_t length, std::uint32_t capacity) {
    std::memcpy(block + word_offset(length), &capacity, sizeof capacity);
}

}  // namespace

std::uint32_t lumo_textbuf_capacity(const char *text) noexcept {
    std::uint32_t capacity;
    std::memcpy(&capacity, text + word_offset(std::strlen(text)), sizeof capacity);
    return capacity;
}

std::int32_t lumo_textbuf_printf(char **text, const char *format, ...) noexcept {
    if (text == nullptr) return -1;

    char *block = *text;
    std::size_t length = 0;
    std::uint32_t capacity = kTextbufStep;
    const bool created = block == nullptr;
    if (created) {
        block = static_cast<char *>(lumo_malloc(capacity + kTrailer));
        if (block == nullptr) return -1;
        block[0] = '\0';
        write_capacity(block, 0, capacity);
        *text = block;
    } else {
        length = std::strlen(block);
        capacity = lumo_textbuf_capacity(block);
    }

    std::size_t room = capacity - length;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(block + length, room, format, args);
    va_end(args);

    // A formatting error or a failed growth must leave the old text whole; the
    // attempt may already have overwritten the NUL and the capacity word.
    auto restore = [&] {
        if (created) {
            // The buffer was made by this call: leave the variable as it was.
            lumo_free(block);
            *text = nullptr;
            return std::int32_t{-1};
        }
        block[length] = '\0';
        write_capacity(block, length, capacity);
        return std::int32_t{-1};
    };
    if (n < 0) return restore();

    if (static_cast<std::size_t>(n) >= room) {
        std::size_t wanted = kTextbufStep * ((length + static_cast<std::size_t>(n) + kTextbufStep + 1) /
                                             kTextbufStep);
        if (wanted > INT32_MAX) return restore();
        auto *grown = static_cast<char *>(lumo_realloc(block, wanted + kTrailer));
        if (grown == nullptr) return restore();
        block = grown;
        *text = block;
        capacity = static_cast<std::uint32_t>(wanted);
        va_start(args, format);
        n = std::vsnprintf(block + length, capacity - length, format, args);
        va_end(args);
        if (n < 0) return restore();
    }

    std::size_t new_length = length + static_cast<std::size_t>(n);
    write_capacity(block, new_length, capacity);
    return static_cast<std::int32_t>(new_length);
}

}  // namespace vavevar
