// JSON import of any text never crashes, and what it accepts exports to the same document:
// text that the json module decodes and the native import takes as an action's plain form
// is written by the native export as JSON text that decodes to an equal value. Out of
// memory aside, the import either makes the action or declines with no exception left.
//
// Input: the JSON text of one action's document form (any bytes; most are not JSON).
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "embedded_module.h"
#include "interface/action_json.h"
#include "interface/action_json_text.h"
#include "memory_file.h"

namespace {

using namespace qn4t_fuzz;

// json.loads, borrowed from a namespace kept for the run.
PyObject *json_loads() {
    static PyObject *loads = [] {
        embedded_module();
        PyObject *globals = run_python("import json\nloads = json.loads\n");
        return PyDict_GetItemString(globals, "loads");  // the namespace is kept: never freed
    }();
    return loads;
}

// The decoded value of `text`, or null (with no exception left) when it is no JSON.
PyObject *decoded(const char *text, std::size_t size) {
    PyObject *value = PyObject_CallFunction(json_loads(), const_cast<char *>("s#"), text,
                                            static_cast<Py_ssize_t>(size));
    if (!value) PyErr_Clear();
    return value;
}

void check_round_trip(PyObject *document) {
    qn4t::WholeAction action;
    switch (qn4t::whole_action_from_json(document, action)) {
    case qn4t::JsonFill::declined:
        if (PyErr_Occurred()) fail("a declined import left an exception set");
        return;
    case qn4t::JsonFill::failed:
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) fail("an import failed for another reason than memory");
        PyErr_Clear();
        return;
    case qn4t::JsonFill::made: break;
    }
    std::string text;
    qn4t::JsonCursor at;
    if (!qn4t::append_action_json(action, -1, text, at, static_cast<std::size_t>(-1)))
        fail("the export stopped without a limit");
    PyObject *exported = decoded(text.data(), text.size());
    if (!exported) fail("the export wrote text that is no JSON");
    const int same = PyObject_RichCompareBool(exported, document, Py_EQ);
    Py_DECREF(exported);
    if (same != 1) fail("an accepted document exports to another document");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    PyObject *document = decoded(reinterpret_cast<const char *>(data), size);
    if (!document) return 0;
    check_round_trip(document);
    Py_DECREF(document);
    return 0;
}
