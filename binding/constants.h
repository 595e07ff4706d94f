// Constant tables and their installation into a module dictionary.
#pragma once

#include <Python.h>

#include "type_registry.h"

namespace qn4t {

enum ConstantKind : int { kEndOfConstants = 0, kIntConstant, kFloatConstant, kStringConstant, kPointerConstant, kBinaryConstant };

struct ConstantRow {
    int kind;
    const char *name;
    long integer_value;      // kIntConstant; the data length of kBinaryConstant
    double float_value;      // kFloatConstant
    const void *pointer_value;  // text, native pointer or data
    TypeDescriptor **type;   // TypeTable slot of kPointerConstant and kBinaryConstant
};

// The module's four action-kind constants, ended by a kEndOfConstants row.
extern const ConstantRow ConstantTable[];

// Enters every row up to kEndOfConstants into `dictionary`; a value that cannot be made
// is left out without a message.
void AddConstants(PyObject *dictionary, const ConstantRow *table);

}  // namespace qn4t
