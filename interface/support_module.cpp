// Start of the companion module: the method table made at compile time from its stream rows
// and the checked rows of every record type in the list, the objects the module adds to its
// namespace, and the parts that add their own (whole actions).
#include "interface/support_module.h"

#include "binding/host.h"
#include "binding/value_check.h"
#include "core/record_types.h"
#include "interface/action_io.h"
#include "interface/action_json_text.h"
#include "interface/action_objects.h"
#include "interface/action_walk.h"
#include "interface/module_add.h"
#include "interface/stream_faults.h"
#include "interface/support_records.h"
#include "interface/table_export.h"
#include "interface/table_cells.h"

namespace qn4t {
namespace {

// The host's module creation takes the table as non-const: a copy made at compile time.
auto method_table = method_rows(support_stream_rows(), RecordTypes{}, [](auto record) {
    return checked_rows<typename decltype(record)::type>();
});

// The objects the module adds to its namespace, each made once per process and kept by its
// maker: a new exception or type adds its row here.
struct ModuleObject {
    const char *name;
    PyObject *(*get)();  // a borrowed reference, or null with the exception set
};
const ModuleObject module_objects[] = {
    {"DamagedFileError", &DamagedFileError},  // interface/stream_faults.h
    {"FieldValueError", &FieldValueError},    // binding/value_check.h
};

// Adds every module object; false with the exception set.
bool add_module_objects(PyObject *module) {
    for (const ModuleObject &object : module_objects) {
        PyObject *value = object.get();
        if (!value) return false;
        Py_INCREF(value);  // the module takes one reference, the maker keeps its own
        if (!add_to_module(module, object.name, value)) return false;
    }
    return true;
}

bool add_whole_actions(PyObject *module) {
    return add_action_api(module) && add_action_io(module) && add_json_export(module) &&
           add_table_export(module) && add_action_walk(module);
}

// Parts that add their own types and functions to the module, after the module objects:
// a new part adds its row here. Each returns false with the exception set.
bool (*const module_parts[])(PyObject *module) = {
    &add_whole_actions,  // interface/action_objects.h, action_io.h, action_json_text.h, action_walk.h
    &add_table_cells,    // interface/table_cells.h
};

// The companion, made once; a new reference, or null with the exception set.
PyObject *make_companion() {
    PyObject *module = host::new_module(kCompanionName, method_table.data());
    if (!module) return nullptr;
    bool complete = add_module_objects(module);
    for (auto add_part : module_parts) complete = complete && add_part(module);
    if (complete) return module;
    Py_DECREF(module);
    return nullptr;
}

PyObject *companion = nullptr;  // kept for the life of the process

}  // namespace

bool StartCompanion() {
    if (!companion && !(companion = make_companion())) return false;
    return PyDict_SetItemString(PyImport_GetModuleDict(), kCompanionName, companion) == 0;
}

}  // namespace qn4t
