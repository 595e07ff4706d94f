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

}  // namespace qn4t
