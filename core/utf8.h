// The one test of whether bytes are UTF-8, shared by the JSON text and the dump listing.
#pragma once

#include <cstddef>
#include <string_view>

namespace qn4t {

// Whether `bytes` are UTF-8 as both hosts decode it alike: no overlong forms, no surrogates
// (Python 2 would take their three-byte forms, Python 3 refuses them), nothing past U+10FFFF.
inline bool is_utf8(std::string_view bytes) {
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
