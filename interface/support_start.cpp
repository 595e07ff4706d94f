// Start of the companion module _qn4tGenericActionSupport: DamagedFileError and the
// whole-action types and functions.
#include <Python.h>

#include "binding/host.h"
#include "interface/action_objects.h"

QN4T_ENTRY_POINT(_qn4tGenericActionSupport) {
#if QN4T_PYTHON3
    static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_qn4tGenericActionSupport", nullptr, -1,
                                     nullptr, nullptr, nullptr, nullptr, nullptr};
    PyObject *module = PyModule_Create(&definition);
#else
    PyObject *module = Py_InitModule4(const_cast<char *>("_qn4tGenericActionSupport"), nullptr,
                                      nullptr, nullptr, PYTHON_API_VERSION);
#endif
    if (!module) return qn4t::host::entry_result(nullptr);
    // A damaged file is both an input error and a bad value.
    PyObject *bases = Py_BuildValue("(OO)", PyExc_IOError, PyExc_ValueError);
    PyObject *damaged = bases ? PyErr_NewException(
                                    const_cast<char *>("qn4tGenericActionLoader.DamagedFileError"),
                                    bases, nullptr)
                              : nullptr;
    Py_XDECREF(bases);
    if (!damaged || PyModule_AddObject(module, "DamagedFileError", damaged) < 0 ||
        !qn4t::add_action_api(module, damaged)) {
#if QN4T_PYTHON3
        Py_DECREF(module);
#endif
        return qn4t::host::entry_result(nullptr);
    }
    return qn4t::host::entry_result(module);
}
