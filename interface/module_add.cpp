// Adding objects to the companion module (module_add.h).
#include "interface/module_add.h"

namespace qn4t {

bool add_to_module(PyObject *module, const char *name, PyObject *object) {
    if (!object) return false;
    if (PyModule_AddObject(module, name, object) == 0) return true;  // the module took it
    Py_DECREF(object);
    return false;
}

bool add_type(PyObject *module, const char *name, PyTypeObject *type) {
    Py_INCREF(type);
    return add_to_module(module, name, reinterpret_cast<PyObject *>(type));
}

bool add_functions(PyObject *module, PyMethodDef *functions) {
    for (PyMethodDef *f = functions; f->ml_name; ++f)
        if (!add_to_module(module, f->ml_name, PyCFunction_New(f, nullptr))) return false;
    return true;
}

}  // namespace qn4t
