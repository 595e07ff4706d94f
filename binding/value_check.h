// The one check of a value given to a record field, used alike by the record classes, the
// whole-action objects and the JSON import, so that the same fault raises the same exception
// with the same message wherever it is made (docs/bad-input.md states the rule). The ranges
// are core/value_kinds.h's.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "core/value_kinds.h"

namespace qn4t {

// The exception of a value its field cannot hold: a subclass of both OverflowError (what the
// record classes raised) and ValueError (what the whole-action objects raised), so that a
// script catching either keeps working. Borrowed; made at the first call and kept for the
// life of the process. Null with the exception set when it cannot be made.
PyObject *FieldValueError();

// The field `owner`.`field`: the record type or the class, and the field ("Damage.levelMult").
struct FieldName {
    std::string_view owner;
    std::string_view field;
};

// A qualified name "Owner.field" taken apart at its last dot.
FieldName field_name_of(std::string_view qualified);

// The value given to an integer field whose values run from `low` to `high` (`words` says
// its kind, "unsigned 8-bit"): an integer (bool included) or an object with __index__, whose
// __index__ runs here and may run any Python code. False with TypeError for anything else
// (a float, a text, None; null: the attribute deleted), or FieldValueError naming the field,
// its kind, the value and the range.
bool integer_value(PyObject *value, long long low, long long high, const char *words,
                   FieldName name, long long *out);

template <class V>
bool field_integer(PyObject *value, FieldName name, V *out) {
    using K = IntegerKind<V>;
    long long number = 0;
    if (!integer_value(value, K::low, K::high, K::words, name, &number)) return false;
    *out = static_cast<V>(number);
    return true;
}

// True when a text of `size` bytes fits the field, which holds at most `limit` bytes
// (`length_field` names the field that counts them, or is empty for a fixed array such as a
// spell code); else false with FieldValueError naming the field, the size and the limit.
bool text_fits(std::size_t size, std::size_t limit, FieldName name, std::string_view length_field);

}  // namespace qn4t
