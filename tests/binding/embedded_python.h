// The interpreter embedded once per test process, with _qn4tGenericActionLoader built in,
// and small helpers for owning references, running Python snippets and reading errors.
// Include it before any system header: the interpreter's headers set feature macros.
#pragma once

// The interpreter's headers predate C++17 and still declare `register` variables.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#pragma GCC diagnostic pop
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "binding/module_start.h"
#include "binding/pointer_string.h"

namespace qn4t_test {

struct Decref {
    void operator()(PyObject *object) const { Py_XDECREF(object); }
};
// Owns one reference.
using Ref = std::unique_ptr<PyObject, Decref>;

constexpr char kModuleName[] = "_qn4tGenericActionLoader";

// Starts the interpreter before the first test. It is never finalised: the module keeps
// its state (types, shadow classes, the global-variable object) for the whole process,
// exactly as it does inside a real interpreter.
class EmbeddedPython : public ::testing::Environment {
public:
    void SetUp() override {
        if (Py_IsInitialized()) return;  // another suite's fixture came first
        PyImport_AppendInittab(const_cast<char *>(kModuleName), init_qn4tGenericActionLoader);
        Py_InitializeEx(0);
    }
};
inline ::testing::Environment *const kEmbeddedPython =
    ::testing::AddGlobalTestEnvironment(new EmbeddedPython);

// The module as imported by a script; the entry point runs at the first import. When the
// interpreter was started without the built-in entry, the entry point is called directly.
inline PyObject *Module() {
    PyObject *module = PyImport_ImportModule(kModuleName);
    if (module) {
        Py_DECREF(module);  // sys.modules keeps it
        return module;
    }
    PyErr_Clear();
    init_qn4tGenericActionLoader();
    return PyImport_AddModule(kModuleName);  // borrowed
}

// "<exception name>: <message>" of the pending exception, which is cleared; "" when none.
inline std::string TakeError() {
    if (!PyErr_Occurred()) return "";
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    std::string text = reinterpret_cast<PyTypeObject *>(type)->tp_name;
    Ref message(value ? PyObject_Str(value) : nullptr);
    if (message && PyString_Check(message.get())) text += std::string(": ") + PyString_AsString(message.get());
    PyErr_Clear();
    return text;
}

// The text of a byte string object (empty for anything else).
inline std::string Text(PyObject *object) {
    if (!object || !PyString_Check(object)) return "";
    return std::string(PyString_AS_STRING(object), static_cast<std::size_t>(PyString_GET_SIZE(object)));
}

// The pointer string of `pointer` under `type_name`: "_", its bytes in memory order as
// hex, then the name.
inline std::string Spelled(const void *pointer, const char *type_name) {
    char digits[2 * sizeof(void *) + 1] = {};
    qn4t::EncodeHex(digits, &pointer, sizeof pointer);
    return std::string("_") + digits + type_name;
}

// A fresh namespace with the builtins and the module (as `m`), in which `source` has run.
// Null (with the failure reported) when the source raised.
inline Ref Namespace(const char *source) {
    Ref globals(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals.get(), "m", Module());
    Ref result(PyRun_String(source, Py_file_input, globals.get(), globals.get()));
    if (!result) {
        ADD_FAILURE() << "Python source raised " << TakeError() << ":\n" << source;
        return nullptr;
    }
    return globals;
}

// The value of `expression` evaluated in `globals` (a new reference), or null with the
// exception pending.
inline Ref Evaluate(PyObject *globals, const std::string &expression) {
    return Ref(PyRun_String(expression.c_str(), Py_eval_input, globals, globals));
}

}  // namespace qn4t_test
