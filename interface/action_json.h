// Whole actions from their JSON form (what `actiontool export` writes, as the json module
// decodes it), made natively: the fast way of `actiontool import`.
#pragma once

#include <Python.h>

#include "core/action_file.h"

namespace qn4t {

enum class JsonFill {
    made,      // `action` holds the action, its counts in step with its contents
    declined,  // not the plain form, or a value that does not fit: no exception is set
    failed,    // out of memory: the exception is set
};

// Fills `action` from one action's document form when it is as the export writes it: dicts
// with exactly the fields each record carries (the text lengths, numDetails and numStatMods
// left out; a detail's length only where it differs from its body's size), integers (not
// bool) within their fields' ranges, texts as UTF-8 strings without surrogates, and detail
// types 1, 2 and 3. Anything else is declined:
// the caller's own checks then make the action from the other forms (texts in hex, raw
// bodies) or word the refusal, naming the field. Safe against containers that change
// while they are read (a dict key's __eq__ may run Python code).
JsonFill whole_action_from_json(PyObject *json, WholeAction &action);

}  // namespace qn4t
