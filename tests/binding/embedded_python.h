// The interpreter embedded once per test process, with _qn4tGenericActionLoader built in,
// and small helpers for owning references, running Python snippets and reading errors.
// Include it before any system header: the interpreter's headers set feature macros.
//
// The tests build against Python 2.7 (binding_tests) and Python 3 (binding_tests_py3).
// What differs between the two hosts (the entry point, integers, str, exception names, the
// string type that is not str) is spelled here, so that the tests are written once.
#pragma once

// The interpreter's headers predate C++17 and still declare `register` variables.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#pragma GCC diagnostic pop
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "interface/module_start.h"
#include "binding/pointer_string.h"

namespace qn4t_test {

struct Decref {
    void operator()(PyObject *object) const { Py_XDECREF(object); }
};
// Owns one reference.
using Ref = std::unique_ptr<PyObject, Decref>;

constexpr char kModuleName[] = "_qn4tGenericActionLoader";

// The module's entry point, as the interpreter's table of built-in modules takes it.
#if PY_MAJOR_VERSION >= 3
constexpr auto kEntryPoint = PyInit__qn4tGenericActionLoader;
#else
constexpr auto kEntryPoint = init_qn4tGenericActionLoader;
#endif

// Whether a direct call of the entry point fills the module of that name already in
// sys.modules (Python 2, which makes one when there is none) rather than making a new
// module every time and leaving sys.modules to the import machinery (Python 3).
constexpr bool kEntryPointFillsLoadedModule = PY_MAJOR_VERSION < 3;

// Runs the entry point directly, as a second start of the module in the same process
// would, and returns the module it filled (a new reference), or null with the exception
// pending.
inline PyObject *RunEntryPoint() {
#if PY_MAJOR_VERSION >= 3
    return PyInit__qn4tGenericActionLoader();
#else
    init_qn4tGenericActionLoader();
    if (PyErr_Occurred()) return nullptr;
    PyObject *module = PyImport_AddModule(kModuleName);  // borrowed
    Py_XINCREF(module);
    return module;
#endif
}

// Starts the interpreter before the first test. It is never finalised: the module keeps
// its state (types, shadow classes, the global-variable object) for the whole process,
// exactly as it does inside a real interpreter.
class EmbeddedPython : public ::testing::Environment {
public:
    void SetUp() override {
        if (Py_IsInitialized()) return;  // another suite's fixture came first
        PyImport_AppendInittab(const_cast<char *>(kModuleName), kEntryPoint);
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
    Ref started(RunEntryPoint());
    if (!started) return nullptr;
    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_SetItemString(modules, kModuleName, started.get()) != 0) return nullptr;
    return PyDict_GetItemString(modules, kModuleName);  // borrowed: sys.modules keeps it
}

// ---- Values across both hosts ----

// True for an integer made by the module: int on Python 2, int (PyLong) on Python 3.
inline bool IsInt(PyObject *object) {
#if PY_MAJOR_VERSION >= 3
    return PyLong_Check(object);
#else
    return PyInt_Check(object);
#endif
}
using qn4t::host::int_from_long;  // a new int, as the module makes them
using qn4t::host::long_of;        // an int's value; -1 with the exception set on failure
using qn4t::host::text_from;      // a new str from a zero-terminated text

// The text of a str object, the host's native string (empty for anything else).
inline std::string Text(PyObject *object) {
    if (!object || !qn4t::host::is_str(object)) return "";
    std::size_t size = 0;
    const char *text = qn4t::host::str_data(object, &size);
    return std::string(text, size);
}

// Python source defining other_string(text): the text as the string type that is not the
// host's str (unicode on Python 2, bytes on Python 3), which is never a pointer string.
#if PY_MAJOR_VERSION >= 3
constexpr char kOtherStringSource[] = "def other_string(text): return text.encode('ascii')\n";
#else
constexpr char kOtherStringSource[] = "def other_string(text): return text.decode('ascii')\n";
#endif

// "<exception name>: <message>" of the pending exception, which is cleared; "" when none.
// The name is the one a traceback shows: "TypeError", not Python 2's "exceptions.TypeError".
inline std::string TakeError() {
    if (!PyErr_Occurred()) return "";
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    std::string text = reinterpret_cast<PyTypeObject *>(type)->tp_name;
    const std::string builtin = "exceptions.";  // Python 2's module of the built-in exceptions
    if (text.compare(0, builtin.size(), builtin) == 0) text.erase(0, builtin.size());
    Ref message(value ? PyObject_Str(value) : nullptr);
    if (message && qn4t::host::is_str(message.get())) text += ": " + Text(message.get());
    PyErr_Clear();
    return text;
}

// The pointer string of `pointer` under `type_name`: "_", its bytes in memory order as
// hex, then the name.
inline std::string Spelled(const void *pointer, const char *type_name) {
    char digits[2 * sizeof(void *) + 1] = {};
    qn4t::EncodeHex(digits, &pointer, sizeof pointer);
    return std::string("_") + digits + type_name;
}

// A fresh namespace with the builtins, the module (as `m`) and other_string(), in which
// `source` has run. Null (with the failure reported) when the source raised.
inline Ref Namespace(const char *source) {
    Ref globals(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals.get(), "m", Module());
    for (const char *part : {kOtherStringSource, source}) {
        Ref result(PyRun_String(part, Py_file_input, globals.get(), globals.get()));
        if (!result) {
            ADD_FAILURE() << "Python source raised " << TakeError() << ":\n" << part;
            return nullptr;
        }
    }
    return globals;
}

// The value of `expression` evaluated in `globals` (a new reference), or null with the
// exception pending.
inline Ref Evaluate(PyObject *globals, const std::string &expression) {
    return Ref(PyRun_String(expression.c_str(), Py_eval_input, globals, globals));
}

}  // namespace qn4t_test
