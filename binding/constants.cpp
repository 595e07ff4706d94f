// The module's constants and the installer for all five constant kinds.
#include "constants.h"

#include "core/records.h"
#include "host.h"
#include "pointer_string.h"

namespace qn4t {

const ConstantRow ConstantTable[] = {
    {kIntConstant, "QN4T_GENERIC_ACTION_NONE", kNoDetail, 0, nullptr, nullptr},
    {kIntConstant, "QN4T_GENERIC_ACTION_DAMAGE", kDamageDetail, 0, nullptr, nullptr},
    {kIntConstant, "QN4T_GENERIC_ACTION_STATMOD", kStatModDetail, 0, nullptr, nullptr},
    {kIntConstant, "QN4T_GENERIC_ACTION_HEALING", kHealingDetail, 0, nullptr, nullptr},
    {kEndOfConstants, nullptr, 0, 0, nullptr, nullptr},
};

namespace {
PyObject *constant_value(const ConstantRow &row) {
    switch (row.kind) {
    case kIntConstant:
        return host::int_from_long(row.integer_value);
    case kFloatConstant:
        return PyFloat_FromDouble(row.float_value);
    case kStringConstant:
        return host::text_from(static_cast<const char *>(row.pointer_value));
    case kPointerConstant:
        return NewPointerObject(const_cast<void *>(row.pointer_value), *row.type, 0);
    case kBinaryConstant:
        return NewDataString(row.pointer_value, static_cast<std::size_t>(row.integer_value), *row.type);
    default:
        return nullptr;
    }
}
}  // namespace

void AddConstants(PyObject *dictionary, const ConstantRow *table) {
    for (const ConstantRow *row = table; row->kind != kEndOfConstants; ++row) {
        PyObject *value = constant_value(*row);
        if (!value) {
            PyErr_Clear();  // skipped silently
            continue;
        }
        PyDict_SetItemString(dictionary, row->name, value);
        Py_DECREF(value);
    }
}

}  // namespace qn4t
