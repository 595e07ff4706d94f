// Module start: the method table, made at compile time from the stream rows and the rows of
// every record type in the list; the global-variable object, the module, the type
// registration (once per process), the constants, and the companion module, which lives in
// the same shared object.
#include "module_start.h"

#include <array>

#include "binding/constants.h"
#include "binding/type_registry.h"
#include "binding/variable_link.h"
#include "interface/record_interface.h"
#include "interface/stream_interface.h"
#include "interface/support_module.h"

namespace qn4t {
namespace {

constexpr auto kMethodRows = method_rows(stream_rows(), RecordTypes{}, [](auto record) {
    return record_rows<typename decltype(record)::type>();
});
static_assert(kMethodRows.size() == kMethodCount + 1,
              "the flat module has exactly 134 functions");

// The host's module creation takes the table as non-const: a copy made at compile time.
std::array<PyMethodDef, kMethodCount + 1> method_table = kMethodRows;
bool types_registered = false;

}  // namespace

PyMethodDef *MethodTable() { return method_table.data(); }

}  // namespace qn4t

using namespace qn4t;

// Every call creates the module, enters the constants and enters the companion in sys.modules;
// the variable link, the type registration and the companion are made once per process. The
// flat module itself gains no name for the companion.
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
    if (!StartCompanion()) {
        host::discard_module(module);
        return host::entry_result(nullptr);
    }
    return host::entry_result(module);
}
