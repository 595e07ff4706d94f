// Owned texts of the action header. Every text buffer the record holds comes from here,
// whether it was read from a file, set from Python or released by the destructor: one
// allocation scheme. A buffer remembers how many bytes it holds, so a write never reads
// past it even when a length field promises more.
#pragma once

#include <cstddef>
#include <string_view>

namespace qn4t {

// A fresh buffer holding `size` bytes copied from `bytes` and a terminating zero;
// nullptr when memory cannot be obtained.
char *make_text(const char *bytes, std::size_t size);

// Releases a buffer from make_text(); nullptr is ignored.
void release_text(char *text);

// The number of bytes a buffer from make_text() holds (inner zero bytes included);
// 0 for nullptr.
std::size_t text_size(const char *text);

// Stores a fresh copy of `size` bytes in `slot` and releases the old buffer. When memory
// cannot be obtained, returns false and leaves `slot` as it was.
bool replace_text(char *&slot, const char *bytes, std::size_t size);

// Whether `bytes` are UTF-8 as both Python hosts decode it alike: no overlong forms, no
// surrogates (Python 2 would take their three-byte forms, Python 3 refuses them), nothing
// past U+10FFFF.
bool is_utf8(std::string_view bytes);

}  // namespace qn4t
