// Module start: the global-variable object, the module with its method table, the type
// registration (once per process) and the constants.
#include "module_start.h"

#include <algorithm>

#include "binding/constants.h"
#include "binding/type_registry.h"
#include "binding/variable_link.h"
#include "interface/method_rows.h"

namespace qn4t {
namespace {

const MethodRows *const row_sets[] = {&kStreamRows,  &kActionHeaderRows, &kDetailHeaderRows,
                                      &kDamageRows,  &kHealingRows,      &kStatModRows,
                                      &kStatModStatRows};

constexpr std::size_t kMethodCount = 134;
PyMethodDef method_table[kMethodCount + 1] = {};  // the last row stays all null
bool types_registered = false;

}  // namespace

PyMethodDef *MethodTable() {
    if (!method_table[0].ml_name) {
        std::size_t total = 0;
        for (const MethodRows *set : row_sets) total += set->count;
        if (total != kMethodCount) return method_table + kMethodCount;  // never overrun: no rows
        PyMethodDef *next = method_table;
        for (const MethodRows *set : row_sets) next = std::copy_n(set->rows, set->count, next);
    }
    return method_table;
}

}  // namespace qn4t

using namespace qn4t;

// Every call creates the module and enters the constants; the variable link and the
// type registration are made once per process.
QN4T_ENTRY_POINT(_qn4tGenericActionLoader) {
    if (!ModuleVariableLink()) SetModuleVariableLink(CreateVariableLink());
    PyObject *module = host::create_module("_qn4tGenericActionLoader", MethodTable());
    if (!module) return host::entry_result(nullptr);
    PyObject *dictionary = PyModule_GetDict(module);
    if (!types_registered) {
        RegisterModuleTypes();
        types_registered = true;
    }
    AddConstants(dictionary, ConstantTable);
    return host::entry_result(module);
}
