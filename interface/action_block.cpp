// An Action object's block of texts and packed details (action_block.h).
#include "interface/action_block.h"

#include <cstring>

namespace qn4t {

std::string_view text_of(const ActionObject *a, std::size_t i) {
    const std::uint32_t start = i == 0 ? 0 : a->text_end[i - 1];
    return std::string_view(a->text_bytes ? a->text_bytes + start : "", a->text_end[i] - start);
}

std::string_view packed_of(const ActionObject *a) {
    return std::string_view(a->text_bytes ? a->text_bytes + a->text_end[kTextCount - 1] : "", a->packed_size);
}

bool hold_block(ActionObject *a, const std::string_view (&texts)[kTextCount], std::string_view packed) {
    std::size_t total = packed.size();
    for (const std::string_view &t : texts) total += t.size();
    char *block = nullptr;
    if (total > 0 && !(block = static_cast<char *>(PyMem_Malloc(total)))) {
        PyErr_NoMemory();
        return false;
    }
    std::uint32_t end = 0;
    for (std::size_t i = 0; i < kTextCount; ++i) {
        if (!texts[i].empty()) std::memcpy(block + end, texts[i].data(), texts[i].size());
        a->text_end[i] = end += static_cast<std::uint32_t>(texts[i].size());
    }
    if (!packed.empty()) std::memcpy(block + end, packed.data(), packed.size());
    a->packed_size = static_cast<std::uint32_t>(packed.size());
    PyMem_Free(a->text_bytes);
    a->text_bytes = block;
    return true;
}

bool hold_texts(ActionObject *a, const std::string_view (&texts)[kTextCount]) {
    return hold_block(a, texts, packed_of(a));
}

void drop_packed(ActionObject *a) {
    a->packed_count = 0;
    a->packed_size = 0;
}

}  // namespace qn4t
