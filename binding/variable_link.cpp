// The "swigvarlink" type: repr, print, getattr and setattr over a list of linked
// variables, and nothing else. Python 3 has no print slot: there the object prints as
// its repr.
#include "variable_link.h"

#include <cstdio>
#include <cstring>

#include "binding/host.h"
#include "core/memory.h"

namespace qn4t {
namespace {

PyObject *module_link = nullptr;

const char kUnknownVariable[] = "Unknown C global variable";

PyObject *link_repr(PyObject *) { return host::text_from("<Global variables>"); }

int link_print(PyObject *object, FILE *out, int) {
    std::fprintf(out, "Global variables { ");
    for (LinkedVariable *v = reinterpret_cast<VariableLink *>(object)->variables; v; v = v->next)
        std::fprintf(out, v->next ? "%s, " : "%s", v->name);
    std::fprintf(out, " }\n");
    return 0;
}

LinkedVariable *find_variable(PyObject *object, const char *name) {
    for (LinkedVariable *v = reinterpret_cast<VariableLink *>(object)->variables; v; v = v->next)
        if (std::strcmp(v->name, name) == 0) return v;
    return nullptr;
}

PyObject *link_getattr(PyObject *object, char *name) {
    if (LinkedVariable *v = find_variable(object, name)) return v->get();
    PyErr_SetString(PyExc_NameError, kUnknownVariable);
    return nullptr;
}

int link_setattr(PyObject *object, char *name, PyObject *value) {
    if (LinkedVariable *v = find_variable(object, name)) return v->set(value);
    PyErr_SetString(PyExc_NameError, kUnknownVariable);
    return 1;
}

PyTypeObject variable_link_type = [] {
    PyTypeObject type;
    std::memset(&type, 0, sizeof type);
    host::set_refcount(reinterpret_cast<PyObject *>(&type), 1);  // static: never released
    type.tp_name = "swigvarlink";
    type.tp_basicsize = sizeof(VariableLink);
    host::set_print_slot(type, link_print);
    type.tp_getattr = link_getattr;
    type.tp_setattr = link_setattr;
    type.tp_repr = link_repr;
    return type;
}();

}  // namespace

PyObject *CreateVariableLink() {
    if (!host::ready_static_type(variable_link_type)) {
        PyErr_Clear();  // start-up goes on without the object, which nothing publishes
        return nullptr;
    }
    auto *link = static_cast<VariableLink *>(allocate(sizeof(VariableLink)));
    if (!link) return nullptr;
    PyObject_INIT(link, &variable_link_type);
    link->variables = nullptr;
    return reinterpret_cast<PyObject *>(link);
}

PyObject *ModuleVariableLink() { return module_link; }
void SetModuleVariableLink(PyObject *link) { module_link = link; }

}  // namespace qn4t
