// Owned text buffers: a size word in front of the bytes the record points at.
#include "text.h"

#include <cstring>

#include "memory.h"

namespace qn4t {
namespace {
// The hidden size word; keeps the text itself aligned like any heap block.
struct alignas(alignof(std::max_align_t)) TextPrefix {
    std::size_t size;
};

TextPrefix *prefix_of(const char *text) {
    return reinterpret_cast<TextPrefix *>(const_cast<char *>(text)) - 1;
}
}  // namespace

char *make_text(const char *bytes, std::size_t size) {
    if (size > static_cast<std::size_t>(-1) - sizeof(TextPrefix) - 1) return nullptr;
    auto *prefix = static_cast<TextPrefix *>(allocate(sizeof(TextPrefix) + size + 1));
    if (!prefix) return nullptr;
    prefix->size = size;
    char *text = reinterpret_cast<char *>(prefix + 1);
    if (size) std::memcpy(text, bytes, size);
    text[size] = '\0';
    return text;
}

void release_text(char *text) {
    if (text) release(prefix_of(text));
}

std::size_t text_size(const char *text) { return text ? prefix_of(text)->size : 0; }

bool replace_text(char *&slot, const char *bytes, std::size_t size) {
    char *fresh = make_text(bytes, size);
    if (!fresh) return false;
    release_text(slot);
    slot = fresh;
    return true;
}

bool is_utf8(std::string_view bytes) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *end = p + bytes.size();
    auto follows = [&](std::size_t n, unsigned char low, unsigned char high) {
        if (static_cast<std::size_t>(end - p) <= n || p[1] < low || p[1] > high) return false;
        for (std::size_t k = 2; k <= n; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        p += n + 1;
        return true;
    };
    while (p < end) {
        const unsigned char c = *p;
        bool ok = true;
        if (c < 0x80) ++p;
        else if (c >= 0xC2 && c <= 0xDF) ok = follows(1, 0x80, 0xBF);
        else if (c == 0xE0) ok = follows(2, 0xA0, 0xBF);
        else if (c == 0xED) ok = follows(2, 0x80, 0x9F);  // not a surrogate
        else if (c >= 0xE1 && c <= 0xEF) ok = follows(2, 0x80, 0xBF);
        else if (c == 0xF0) ok = follows(3, 0x90, 0xBF);
        else if (c >= 0xF1 && c <= 0xF3) ok = follows(3, 0x80, 0xBF);
        else if (c == 0xF4) ok = follows(3, 0x80, 0x8F);
        else ok = false;
        if (!ok) return false;
    }
    return true;
}

}  // namespace qn4t
