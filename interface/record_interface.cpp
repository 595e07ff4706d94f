// The non-template steps shared by every record wrapper.
#include "record_interface.h"

#include <cstring>

#include "binding/live_references.h"
#include "binding/pointer_string.h"
#include "core/text.h"

namespace qn4t {

PyObject *hand_out_record(void *record, TypeSlot slot, void (*destroy)(void *)) {
    if (!record) return host::none();
    if (!live_references().add(record, TypeTable[slot])) {
        destroy(record);
        return host::none();
    }
    PyObject *reference = NewPointerObject(record, TypeTable[slot], 1);
    // Only a string that cannot be made gives null; should Python code (a shadow class)
    // ever have run and deleted the record before that, it is not destroyed twice.
    if (!reference && live_references().type_at(record)) {
        retire_record(record);
        destroy(record);
    }
    return reference;
}

void retire_record(void *record) { live_references().remove(record); }

PyObject *store_text(char *&field, const char *value) {
    if (!replace_text(field, value, std::strlen(value))) return PyErr_NoMemory();
    return host::none();
}

void store_chars(char *array, std::size_t capacity, const char *value) {
    const std::size_t size = strnlen(value, capacity - 1);
    std::memcpy(array, value, size);
    std::memset(array + size, 0, capacity - size);
}

PyObject *text_value(const char *text) {
    if (!text) return Py_BuildValue("");
    return host::record_text(text, std::strlen(text));
}

PyObject *chars_value(const char *array, std::size_t capacity) {
    return host::record_text(array, strnlen(array, capacity));
}

PyObject *register_shadow_class(PyObject *arguments, TypeSlot slot) {
    PyObject *shadow_class = nullptr;
    if (!PyArg_ParseTuple(arguments, "O", &shadow_class)) return nullptr;
    SetTypeClientData(TypeTable[slot], shadow_class);
    Py_INCREF(shadow_class);  // held for the life of the process
    return Py_BuildValue("");
}

}  // namespace qn4t
