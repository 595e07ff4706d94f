// Whole actions as the JSON text of their document form (qn4tGenericActionLoader/_form.py),
// made natively as a file is read: the fast way of `actiontool export`.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/action_file.h"
#include "core/text.h"  // is_utf8, which the page text shares

namespace qn4t {

// A character field (the spell code, `all` its bytes in the file) as the document form holds
// it: without its trailing zero bytes as a string where those are UTF-8, otherwise every
// byte in hex.
struct CodeForm {
    std::string_view bytes;
    bool utf8;
};
CodeForm code_form(std::string_view all);

// Where the JSON text of an action stands: not begun, or inside the list of stat entries of
// one of its details.
struct JsonCursor {
    bool started = false;
    bool in_entries = false;
    std::size_t detail = 0;  // the detail being written
    std::size_t entry = 0;   // its next stat entry
};

// Appends the JSON text (UTF-8) of one action's document form to `out`, exactly as
// _form.action_json_pieces writes it at depth 1: members in the records' field order, the
// derived counts and lengths left out, texts as strings where their bytes are UTF-8 (escapes
// only where JSON needs them) and as {"hex": ...} otherwise. `indent` < 0: one line;
// otherwise that many spaces per level. Goes on from where `at` stands and stops between two
// stat entries once `out` holds `limit` bytes: true when the text is complete (`at` is then
// reset for the next action), false to be called again with the same action.
bool append_action_json(const WholeAction &action, long indent, std::string &out, JsonCursor &at,
                        std::size_t limit);

// Adds to `module` (the companion extension module):
//   _export_json(file, plain=0, indent=None)  an iterator of bytes: the JSON text of the
//                        actions read with file.read(), a block of whole actions at a time,
//                        each action after ",\n" (but the first) and `indent` spaces; its
//                        `actions` and `offset` say how many actions the blocks given so far
//                        hold and the uncompressed offset behind the last. Raises
//                        DamagedFileError after the block holding the last complete
//                        action of a damaged file.
//   _page_json(file, plain=0)  the same, with the text the page embeds
//                        (append_page_action_json, page_json_text.h), the actions after ",".
// Returns false with the exception set when something cannot be added.
bool add_json_export(PyObject *module);

}  // namespace qn4t
