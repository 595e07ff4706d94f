// Whole actions as the page of `actiontool html` embeds them (qn4tGenericActionLoader/page.py):
// the JSON text of their document form made inert inside a <script> element.
#pragma once

#include <cstddef>
#include <string>

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

}  // namespace qn4t
