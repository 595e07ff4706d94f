// qn4t_bench_floor: a test-only extension that gives the Python boundary bench its floor,
// a function that parses one "O" argument the way the module's getters do and returns an
// integer. Built only for the bench; nothing else links it.
#include <Python.h>

namespace {

// floor(object) -> 1
PyObject *floor_call(PyObject *, PyObject *arguments) {
    PyObject *object = nullptr;
    if (!PyArg_ParseTuple(arguments, "O:floor", &object)) return nullptr;
#if PY_MAJOR_VERSION >= 3
    return PyLong_FromLong(1);
#else
    return PyInt_FromLong(1);
#endif
}

PyMethodDef methods[] = {
    {"floor", floor_call, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

#if PY_MAJOR_VERSION >= 3
PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "qn4t_bench_floor", nullptr, -1, methods,
                            nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_qn4t_bench_floor() { return PyModule_Create(&floor_module); }
#else
PyMODINIT_FUNC initqn4t_bench_floor() { Py_InitModule("qn4t_bench_floor", methods); }
#endif
