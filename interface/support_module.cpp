// Module start of the companion module: the link to the flat module's state, the method table
// made at compile time from its stream rows and the checked rows of every record type in the
// list, the objects the module adds to its namespace, and the parts that add their own
// (whole actions).
#include "interface/support_module.h"

#include "binding/shared_state.h"
#include "binding/value_check.h"
#include "core/record_types.h"
#include "interface/action_objects.h"
#include "interface/support_records.h"

namespace qn4t {
namespace {

constexpr char kModuleName[] = "_qn4tGenericActionSupport";

template <class... R>
constexpr auto method_rows(TypeList<R...>) {
    constexpr std::array<PyMethodDef, 1> end = {{{nullptr, nullptr, 0, nullptr}}};
    return join_rows(support_stream_rows(), checked_rows<R>()..., end);
}

// The host's module creation takes the table as non-const: a copy made at compile time.
auto method_table = method_rows(RecordTypes{});

PyObject *damaged_file_error = nullptr;

PyObject *make_damaged_file_error() {
    PyObject *bases = PyTuple_Pack(2, PyExc_IOError, PyExc_ValueError);
    if (!bases) return nullptr;
    PyObject *type = PyErr_NewExceptionWithDoc(
        const_cast<char *>("qn4tGenericActionLoader.DamagedFileError"),
        const_cast<char *>("An action file whose compressed data is cut short, corrupt or fails "
                           "its check: the data cannot be read to its end."),
        bases, nullptr);
    Py_DECREF(bases);
    return type;
}

PyObject *field_value_error = nullptr;

PyObject *share_field_value_error() {  // binding/value_check.h keeps the type itself
    PyObject *type = FieldValueError();
    Py_XINCREF(type);
    return type;
}

// The objects the module adds to its namespace, made at the first start and kept in `slot`
// for the life of the process: a new exception or type adds its row here.
struct ModuleObject {
    const char *name;
    PyObject *(*make)();  // a new reference, or null with the exception set
    PyObject **slot;
};
const ModuleObject module_objects[] = {
    {"DamagedFileError", &make_damaged_file_error, &damaged_file_error},
    {"FieldValueError", &share_field_value_error, &field_value_error},
};

// Makes (once) and adds every module object; false with the exception set.
bool add_module_objects(PyObject *module) {
    for (const ModuleObject &object : module_objects) {
        if (!*object.slot && !(*object.slot = object.make())) return false;
        Py_INCREF(*object.slot);  // the module takes one reference, the slot keeps its own
        if (PyModule_AddObject(module, object.name, *object.slot) != 0) {
            Py_DECREF(*object.slot);
            return false;
        }
    }
    return true;
}

bool add_whole_actions(PyObject *module) { return add_action_api(module, damaged_file_error); }

// Parts that add their own types and functions to the module, after the module objects:
// a new part adds its row here. Each returns false with the exception set.
bool (*const module_parts[])(PyObject *module) = {
    &add_whole_actions,  // interface/action_objects.h
};

}  // namespace

PyObject *DamagedFileError() { return damaged_file_error; }

}  // namespace qn4t

using namespace qn4t;

QN4T_ENTRY_POINT(_qn4tGenericActionSupport) {
    if (!link_shared_state()) return host::entry_result(nullptr);
    PyObject *module = host::create_module(kModuleName, method_table.data());
    if (!module) return host::entry_result(nullptr);
    bool complete = add_module_objects(module);
    for (auto add_part : module_parts) complete = complete && add_part(module);
    if (!complete) {
        host::discard_module(module);
        return host::entry_result(nullptr);
    }
    return host::entry_result(module);
}
