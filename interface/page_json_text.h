// Whole actions as the page of `actiontool html` embeds them (qn4tGenericActionLoader/page.py):
// the JSON text of their document form made inert inside a <script> element.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/action_file.h"
#include "interface/action_json_text.h"

namespace qn4t {

// Appends the page's JSON text of one action's document form to `out`: the bytes that
// Python's json.dumps(form, sort_keys=True, separators=(",", ":"), ensure_ascii=True) gives
// with "<", ">" and "&" then written as \u003c, \u003e and \u0026. Members are sorted by
// name in every object, texts are ASCII with \u escapes (surrogate pairs past U+FFFF), and
// the form is that of append_action_json (texts not UTF-8 as {"hex": ...}). Goes on from
// where `at` stands and stops between two stat entries once `out` holds `limit` bytes: true
// when the text is complete (`at` is then reset), false to be called again with the same
// action.
bool append_page_action_json(const WholeAction &action, std::string &out, JsonCursor &at,
                             std::size_t limit);

// The SHA-256 that names the page's base: of "[", the actions' text as it is given out, and
// "]". Made with OpenSSL's libcrypto where the module is built with it (QN4T_WITH_OPENSSL),
// which uses the processor's SHA instructions; without it available() is false and the
// package hashes the text itself (hashlib).
class PageDigest {
public:
    PageDigest();  // begun with "["; throws std::bad_alloc when libcrypto cannot begin
    ~PageDigest();
    PageDigest(const PageDigest &) = delete;
    PageDigest &operator=(const PageDigest &) = delete;

    static bool available();
    void add(std::string_view text);
    // The digest in lowercase hex of what was added and the closing "]"; the digest goes on
    // from what was added.
    std::string hex() const;

private:
    void *context_ = nullptr;  // libcrypto's EVP_MD_CTX
};

}  // namespace qn4t
