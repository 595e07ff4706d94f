// Module start: the method table, made at compile time from the stream rows and the rows of
// every record type in the list; the global-variable object, the module, the type
// registration (once per process) and the constants.
#include "module_start.h"

#include <array>

#include "binding/constants.h"
#include "binding/type_registry.h"
#include "binding/variable_link.h"
#include "interface/record_interface.h"
#include "interface/stream_interface.h"

namespace qn4t {
namespace {

template <class... R>
constexpr auto method_rows(TypeList<R...>) {
    constexpr std::array<PyMethodDef, 1> end = {{{nullptr, nullptr, 0, nullptr}}};
    return join_rows(stream_rows(), record_rows<R>()..., end);
}

constexpr auto kMethodRows = method_rows(RecordTypes{});
static_assert(kMethodRows.size() == kMethodCount + 1,
              "the flat module has exactly 134 functions");

// The host's module creation takes the table as non-const: a copy made at compile time.
std::array<PyMethodDef, kMethodCount + 1> method_table = kMethodRows;
bool types_registered = false;

}  // namespace

PyMethodDef *MethodTable() { return method_table.data(); }

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
