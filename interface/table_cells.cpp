// Table rows as the table import takes them, made natively where they are plain: the cells of
// a CSV row (an ASCII text as it stands, a whole number of at most 18 digits, a minus sign in
// front or not, as an int) and the dict form of a row's values. Anything else (white space,
// a fraction, more digits, a byte that is not ASCII; a value given twice) is left to the
// package's own reading of the row, which words what it refuses.
#include "interface/table_cells.h"

#include "interface/module_add.h"

namespace qn4t {
namespace {

constexpr Py_ssize_t kShortNumber = 18;  // digits surely below every limit on the digits read

enum class Cell { empty, made, declined };

// The whole number of an ASCII cell that is one plain (an optional minus sign and at most
// kShortNumber digits) in *number; false for any other cell.
bool plain_number(const char *text, Py_ssize_t length, long long *number) {
    const bool negative = text[0] == '-';
    const Py_ssize_t digits = length - (negative ? 1 : 0);
    if (digits == 0 || digits > kShortNumber) return false;
    long long made = 0;
    for (Py_ssize_t i = length - digits; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        made = made * 10 + (text[i] - '0');
    }
    *number = negative ? -made : made;
    return true;
}

// The value of a cell in *value (a new reference): the text itself, or in an integer column
// its plain whole number. declined for a cell the package reads the slow way.
#if PY_MAJOR_VERSION >= 3
Cell cell_value(PyObject *cell, bool integer, PyObject **value) {
    if (!PyUnicode_Check(cell)) return Cell::declined;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(cell);
    if (length == 0) return Cell::empty;
    if (!PyUnicode_IS_ASCII(cell)) return Cell::declined;
    if (!integer) {
        Py_INCREF(cell);
        *value = cell;
        return Cell::made;
    }
    long long number = 0;
    if (!plain_number(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(cell)), length, &number))
        return Cell::declined;
    *value = PyLong_FromLongLong(number);
    return Cell::made;
}
#else
// Python 2's cells are byte strings: an ASCII one is the unicode text the package decodes
// it to, and a number the int that int() makes of that text.
Cell cell_value(PyObject *cell, bool integer, PyObject **value) {
    if (!PyString_CheckExact(cell)) return Cell::declined;
    const Py_ssize_t length = PyString_GET_SIZE(cell);
    if (length == 0) return Cell::empty;
    const char *text = PyString_AS_STRING(cell);
    for (Py_ssize_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(text[i]) >= 0x80) return Cell::declined;
    long long number = 0;
    if (!integer) {
        *value = PyUnicode_DecodeASCII(text, length, nullptr);
    } else {
        if (!plain_number(text, length, &number)) return Cell::declined;
        *value = PyInt_FromLong(static_cast<long>(number));  // 18 digits fit a 64-bit long
    }
    return Cell::made;
}
#endif

// _csv_cells(row, columns): {column name: value} of a row (a list of texts) for columns, a
// tuple of (position in the row, name, whether it holds integers) in the row's order; None
// where a cell is not plain (nothing is made of the row then). Runs no Python code.
PyObject *csv_cells(PyObject *, PyObject *args) {
    PyObject *row = nullptr, *columns = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!:_csv_cells", &PyList_Type, &row, &PyTuple_Type, &columns))
        return nullptr;
    PyObject *values = PyDict_New();
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns); ++i) {
        PyObject *column = PyTuple_GET_ITEM(columns, i);
        if (!PyTuple_Check(column) || PyTuple_GET_SIZE(column) != 3) {
            Py_DECREF(values);
            PyErr_SetString(PyExc_TypeError, "_csv_cells: a column is (position, name, integer)");
            return nullptr;
        }
        const Py_ssize_t position = PyNumber_AsSsize_t(PyTuple_GET_ITEM(column, 0), nullptr);
        if (position == -1 && PyErr_Occurred()) {
            Py_DECREF(values);
            return nullptr;
        }
        // The row's size read after the position, whose conversion could run Python code.
        if (position < 0 || position >= PyList_GET_SIZE(row)) break;  // the cells end first
        PyObject *value = nullptr;
        const Cell made = cell_value(PyList_GET_ITEM(row, position),
                                     PyTuple_GET_ITEM(column, 2) == Py_True, &value);
        if (made == Cell::empty) continue;
        if (made == Cell::declined) {
            Py_DECREF(values);
            Py_INCREF(Py_None);
            return Py_None;
        }
        if (!value || PyDict_SetItem(values, PyTuple_GET_ITEM(column, 1), value) < 0) {
            Py_XDECREF(value);
            Py_DECREF(values);
            return nullptr;
        }
        Py_DECREF(value);
    }
    return values;
}

// The dict holding `key` in `place`, made where it is missing; null where `place` holds a
// value there (a borrowed reference; null with an exception set only for no memory).
PyObject *inner_dict(PyObject *place, PyObject *key) {
    PyObject *inner = PyDict_GetItem(place, key);  // the keys are texts: no Python code runs
    if (inner) return PyDict_Check(inner) ? inner : nullptr;
    inner = PyDict_New();
    if (!inner) return nullptr;
    const int added = PyDict_SetItem(place, key, inner);
    Py_DECREF(inner);  // held by place
    return added < 0 ? nullptr : inner;
}

// _row_document(row, paths): the nested dict of a row's values ({column name: value}) by
// their paths ({column name: tuple of keys, or None for a column left out}), in the row's
// order; None where one value's path runs through another's (a text given as text and in
// hex) or a column's name is not a plain text (whose comparison could run Python code while
// the row is walked): the package's own way then makes it or words the refusal.
PyObject *row_document(PyObject *, PyObject *args) {
    PyObject *row = nullptr, *paths = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!:_row_document", &PyDict_Type, &row, &PyDict_Type, &paths))
        return nullptr;
    PyObject *document = PyDict_New();
    if (!document) return nullptr;
    Py_ssize_t at = 0;
    PyObject *name = nullptr, *value = nullptr;
    while (PyDict_Next(row, &at, &name, &value)) {
        if (!PyUnicode_CheckExact(name) && !PyBytes_CheckExact(name)) {
            Py_DECREF(document);
            Py_INCREF(Py_None);
            return Py_None;
        }
        PyObject *path = PyDict_GetItem(paths, name);
        if (path == Py_None) continue;
        if (!path || !PyTuple_Check(path) || PyTuple_GET_SIZE(path) == 0) {
            Py_DECREF(document);
            PyErr_SetString(PyExc_TypeError, "_row_document: a column without a path");
            return nullptr;
        }
        PyObject *place = document;
        const Py_ssize_t last = PyTuple_GET_SIZE(path) - 1;
        for (Py_ssize_t i = 0; place && i < last; ++i) place = inner_dict(place, PyTuple_GET_ITEM(path, i));
        const int taken = place ? PyDict_Contains(place, PyTuple_GET_ITEM(path, last)) : 1;
        if (PyErr_Occurred() || taken != 0 || PyDict_SetItem(place, PyTuple_GET_ITEM(path, last), value) < 0) {
            Py_DECREF(document);
            if (PyErr_Occurred()) return nullptr;
            Py_INCREF(Py_None);
            return Py_None;
        }
    }
    return document;
}

PyMethodDef functions[] = {
    {"_csv_cells", csv_cells, METH_VARARGS,
     "{column: value} of a CSV row's plain cells for (position, name, integer) columns, or None."},
    {"_row_document", row_document, METH_VARARGS,
     "The nested dict of a row's values by their columns' paths, or None for a value given twice."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

bool add_table_cells(PyObject *module) { return add_functions(module, functions); }

}  // namespace qn4t
