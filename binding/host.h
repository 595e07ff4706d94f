// The interpreter calls whose spelling depends on the Python host, so that the rest of the
// binding and the wrappers are written once and built for either host from the same
// source. Only spellings live here; the policies that differ between the hosts, what a
// text setter's value and an open's path accept, are binding/string_arguments.h.
//
// "str" below is the host's native string type: the byte string on Python 2, the
// Unicode string on Python 3. Pointer strings and the texts of records are handed out as
// str on both hosts.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <thread>

#if PY_MAJOR_VERSION >= 3
#define QN4T_PYTHON3 1
#if PY_VERSION_HEX < 0x03080000
#error "Python 3 hosts older than 3.8 are not supported"
#endif
#else
#define QN4T_PYTHON3 0
#endif

// The module's exported entry point: `init<module>` returning nothing on Python 2,
// `PyInit_<module>` returning the new module on Python 3. Its body returns
// host::entry_result(module).
#if QN4T_PYTHON3
#define QN4T_ENTRY_POINT(module) \
    extern "C" __attribute__((visibility("default"))) PyObject *PyInit_##module(void)
#else
#define QN4T_ENTRY_POINT(module) \
    extern "C" __attribute__((visibility("default"))) void init##module(void)
#endif

namespace qn4t {
namespace host {

// ---- Integers ----

// A new integer object, or null with the exception set.
inline PyObject *int_from_long(long value) {
#if QN4T_PYTHON3
    return PyLong_FromLong(value);
#else
    return PyInt_FromLong(value);
#endif
}

// The value of an integer-like object; on failure -1 with the exception set (test with
// PyErr_Occurred, since -1 is also an ordinary value).
inline long long_of(PyObject *object) {
#if QN4T_PYTHON3
    return PyLong_AsLong(object);
#else
    return PyInt_AsLong(object);
#endif
}

// True for an integer or an object with __index__: what a checked integer setter takes
// (never a float).
inline bool is_index(PyObject *object) { return PyIndex_Check(object) != 0; }

// The value of an object for which is_index() holds, through its __index__ (which may run
// Python code). When it does not fit a long, `*overflow` is set to 1 or -1 and the result is
// -1. On failure -1 with the exception set.
inline long index_value(PyObject *object, int *overflow) {
    *overflow = 0;
#if !QN4T_PYTHON3
    if (PyInt_CheckExact(object)) return PyInt_AS_LONG(object);
#endif
    if (PyLong_CheckExact(object)) return PyLong_AsLongAndOverflow(object, overflow);
    PyObject *index = PyNumber_Index(object);
    if (!index) return -1;
    const long value = PyLong_AsLongAndOverflow(index, overflow);
    Py_DECREF(index);
    return value;
}

// ---- Strings of the binding itself: pointer strings and names (ASCII) ----

// True for the host's str type and its subtypes.
inline bool is_str(PyObject *object) {
#if QN4T_PYTHON3
    return PyUnicode_Check(object);
#else
    return PyType_IsSubtype(Py_TYPE(object), &PyString_Type) != 0;
#endif
}

// The text and size of an object for which is_str() holds. A Python 3 string that has
// no UTF-8 form (a lone surrogate) gives the empty text, which no reference matches,
// and leaves no exception behind.
inline const char *str_data(PyObject *object, std::size_t *size) {
#if QN4T_PYTHON3
    Py_ssize_t length = 0;
    const char *text = PyUnicode_AsUTF8AndSize(object, &length);
    if (!text) {
        PyErr_Clear();
        *size = 0;
        return "";
    }
    *size = static_cast<std::size_t>(length);
    return text;
#else
    *size = static_cast<std::size_t>(PyString_GET_SIZE(object));
    return PyString_AS_STRING(object);
#endif
}

// A new str holding a zero-terminated ASCII text, or null with the exception set.
inline PyObject *text_from(const char *text) {
#if QN4T_PYTHON3
    return PyUnicode_FromString(text);
#else
    return PyString_FromString(text);
#endif
}

// A new str for an identifier such as an attribute name, kept for reuse.
inline PyObject *interned(const char *name) {
#if QN4T_PYTHON3
    return PyUnicode_InternFromString(name);
#else
    return PyString_InternFromString(name);
#endif
}

// ---- Texts of records ----

// A new str holding `size` bytes of a record's text: the bytes themselves on Python 2;
// on Python 3 decoded as UTF-8 with "surrogateescape", so that bytes which are not UTF-8
// come back unchanged when the value is set again. Null with the exception set.
inline PyObject *record_text(const char *bytes, std::size_t size) {
#if QN4T_PYTHON3
    return PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(size), "surrogateescape");
#else
    return PyString_FromStringAndSize(bytes, static_cast<Py_ssize_t>(size));
#endif
}

// The str a whole action's text attribute gives for its bytes object `bytes`: the bytes
// object itself on Python 2 (a new reference); on Python 3 decoded as record_text() does.
inline PyObject *text_of_bytes(PyObject *bytes) {
#if QN4T_PYTHON3
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), "surrogateescape");
#else
    Py_INCREF(bytes);
    return bytes;
#endif
}

// The bytes of a unicode text given to a text setter, the inverse of record_text(): UTF-8,
// with "surrogateescape" on Python 3. A new bytes object, or null with the exception set.
inline PyObject *bytes_of_unicode(PyObject *text) {
#if QN4T_PYTHON3
    return PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape");
#else
    return PyUnicode_AsUTF8String(text);
#endif
}

// ---- The values of the JSON form (the json module's unicode keys and texts, plain ints) ----

// Interns a unicode key in place where the host can (Python 3); Python 2 keeps it as is.
inline void intern_unicode(PyObject **key) {
#if QN4T_PYTHON3
    PyUnicode_InternInPlace(key);
#else
    (void)key;
#endif
}

// The value of a plain integer, not a bool nor another subclass: false for anything else.
// `*overflow` is set to 1 or -1 (and the result is -1) when it does not fit a long.
inline bool exact_integer(PyObject *object, long *value, int *overflow) {
    *overflow = 0;
#if !QN4T_PYTHON3
    if (PyInt_CheckExact(object)) {
        *value = PyInt_AS_LONG(object);
        return true;
    }
#endif
    if (!PyLong_CheckExact(object)) return false;
    *value = PyLong_AsLongAndOverflow(object, overflow);
    return true;
}

// The strict UTF-8 form of a unicode object (a lone surrogate fails): its data and size,
// valid while `*holder` lives (a new reference the caller releases, or null when the object
// itself keeps the form). Null with the exception set.
inline const char *utf8_of(PyObject *unicode, std::size_t *size, PyObject **holder) {
#if QN4T_PYTHON3
    *holder = nullptr;
    Py_ssize_t length = 0;
    const char *data = PyUnicode_AsUTF8AndSize(unicode, &length);
    *size = static_cast<std::size_t>(length);
    return data;
#else
    *holder = PyUnicode_AsUTF8String(unicode);
    if (!*holder) return nullptr;
    *size = static_cast<std::size_t>(PyString_GET_SIZE(*holder));
    return PyString_AS_STRING(*holder);
#endif
}

// ---- Byte strings (str on Python 2, bytes on Python 3) ----

inline bool is_bytes(PyObject *object) {
#if QN4T_PYTHON3
    return PyBytes_Check(object);
#else
    return PyString_Check(object);
#endif
}

// The data and size of an object for which is_bytes() holds.
inline char *bytes_data(PyObject *object) {
#if QN4T_PYTHON3
    return PyBytes_AS_STRING(object);
#else
    return PyString_AS_STRING(object);
#endif
}

inline std::size_t bytes_size(PyObject *object) {
#if QN4T_PYTHON3
    return static_cast<std::size_t>(PyBytes_GET_SIZE(object));
#else
    return static_cast<std::size_t>(PyString_GET_SIZE(object));
#endif
}

// A new byte string holding a copy of `size` bytes, or null with the exception set.
inline PyObject *bytes_from(const char *data, std::size_t size) {
#if QN4T_PYTHON3
    return PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
#else
    return PyString_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
#endif
}

// ---- Paths ----

// A file name as the system takes it: a new bytes object (on Python 3 encoded with the file
// system's encoding), or null with the exception set.
inline PyObject *fs_path(PyObject *name) {
#if QN4T_PYTHON3
    if (PyBytes_Check(name)) {
        Py_INCREF(name);
        return name;
    }
    return PyUnicode_EncodeFSDefault(name);
#else
    if (!PyString_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "a file name must be str");
        return nullptr;
    }
    Py_INCREF(name);
    return name;
#endif
}

// ---- Objects, types and the module ----

// A new reference to None.
inline PyObject *none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// Fills a static type record's own header: reference count and type.
inline void set_refcount(PyObject *object, Py_ssize_t count) {
#if QN4T_PYTHON3 && PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(object, count);
#else
    Py_REFCNT(object) = count;
#endif
}

inline void set_type(PyObject *object, PyTypeObject *type) {
#if QN4T_PYTHON3 && PY_VERSION_HEX >= 0x03090000
    Py_SET_TYPE(object, type);
#else
    Py_TYPE(object) = type;
#endif
}

// The print slot of a static type. Python 3 has none: there `print` and `str` use repr.
using PrintSlot = int (*)(PyObject *, std::FILE *, int);
inline void set_print_slot(PyTypeObject &type, PrintSlot print) {
#if QN4T_PYTHON3
    (void)type;
    (void)print;
#else
    type.tp_print = print;
#endif
}

// The start, stop and step of a slice (its members' __index__ may run Python code), then
// fitted to a sequence of `length` items: the number of items it takes. -1 / false with the
// exception set.
inline bool slice_unpack(PyObject *slice, Py_ssize_t *start, Py_ssize_t *stop, Py_ssize_t *step) {
#if QN4T_PYTHON3
    return PySlice_Unpack(slice, start, stop, step) == 0;
#else
    return _PySlice_Unpack(slice, start, stop, step) == 0;
#endif
}
inline Py_ssize_t slice_adjust(Py_ssize_t length, Py_ssize_t *start, Py_ssize_t *stop, Py_ssize_t step) {
#if QN4T_PYTHON3
    return PySlice_AdjustIndices(length, start, stop, step);
#else
    return _PySlice_AdjustIndices(length, start, stop, step);
#endif
}

// Whether the cyclic garbage collector tracks a GC object.
inline bool gc_is_tracked(PyObject *object) {
#if QN4T_PYTHON3
    return PyObject_GC_IsTracked(object) != 0;
#else
    return _PyObject_GC_IS_TRACKED(object);
#endif
}

// Makes a static type record usable: its type becomes the interpreter's type object.
// Python 3 also requires the type to be readied once (slots it leaves empty are
// inherited from object). False with the exception set when that fails.
inline bool ready_static_type(PyTypeObject &type) {
    set_type(reinterpret_cast<PyObject *>(&type), &PyType_Type);
#if QN4T_PYTHON3
    if (type.tp_flags & Py_TPFLAGS_READY) return true;
    type.tp_flags |= Py_TPFLAGS_DEFAULT;
    return PyType_Ready(&type) == 0;
#else
    return true;
#endif
}

// The flags a static iterator type adds: Python 2 reads tp_iter and tp_iternext only
// from a type that says it has them.
inline unsigned long iterator_flags() {
#if QN4T_PYTHON3
    return 0;
#else
    return Py_TPFLAGS_HAVE_ITER;
#endif
}

// Creates the module object with its method table: a borrowed reference on Python 2, a
// new one on Python 3; null with the exception set when the host cannot make it.
inline PyObject *create_module(const char *name, PyMethodDef *methods) {
#if QN4T_PYTHON3
    // Module-wide state lives in globals, so the module is single-phase and not re-entrant
    // per interpreter (size -1).
    static PyModuleDef definition = {PyModuleDef_HEAD_INIT, name, nullptr, -1, methods,
                                     nullptr,               nullptr, nullptr, nullptr};
    return PyModule_Create(&definition);
#else
    return Py_InitModule4(const_cast<char *>(name), methods, nullptr, nullptr, PYTHON_API_VERSION);
#endif
}

// A new module object with the functions of `methods` (ended by a null row), entered
// nowhere: for a second module that the start of the first makes from the same shared object.
// Null with the exception set.
inline PyObject *new_module(const char *name, PyMethodDef *methods) {
    PyObject *module = PyModule_New(name);
    if (!module) return nullptr;
#if QN4T_PYTHON3
    if (PyModule_AddFunctions(module, methods) == 0) return module;
#else
    // As Py_InitModule4 makes them: no self, the module's name as __module__.
    PyObject *module_name = PyString_FromString(name);
    PyMethodDef *row = methods;
    for (; module_name && row->ml_name; ++row) {
        PyObject *function = PyCFunction_NewEx(row, nullptr, module_name);
        if (!function || PyModule_AddObject(module, row->ml_name, function) != 0) break;
    }
    const bool complete = module_name && !row->ml_name;
    Py_XDECREF(module_name);
    if (complete) return module;
#endif
    Py_DECREF(module);
    return nullptr;
}

// Gives up a module that create_module() made when start-up fails after it.
inline void discard_module(PyObject *module) {
#if QN4T_PYTHON3
    Py_DECREF(module);
#else
    (void)module;  // borrowed: the interpreter owns it
#endif
}

// What the entry point returns for the module that start-up made.
#if QN4T_PYTHON3
inline PyObject *entry_result(PyObject *module) { return module; }
#else
inline void entry_result(PyObject *) {}
#endif

// ---- Threads ----

// Lets other Python threads run for a moment in the middle of a long native call, which
// would otherwise keep the interpreter lock from its start to its end. Python 3 hands the
// lock over to a thread that has been waiting for it; Python 2.7 gives it to whoever takes
// it first, nearly always the thread that just let it go, so there the caller steps aside
// briefly. A daemon thread is ended here when the interpreter shuts down (it unwinds from
// this call), so the caller must hold nothing whose clean-up needs the lock, and must not
// call this from a destructor.
inline void let_other_threads_run() {
    Py_BEGIN_ALLOW_THREADS
#if !QN4T_PYTHON3
    std::this_thread::sleep_for(std::chrono::microseconds(100));
#endif
    Py_END_ALLOW_THREADS
}

}  // namespace host
}  // namespace qn4t
