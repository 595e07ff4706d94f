// The non-template steps shared by every record wrapper.
#include "record_interface.h"

#include <cstring>

#include "binding/live_references.h"
#include "core/text.h"

namespace qn4t {

void retire_record(void *record) { live_references().remove(record); }

bool text_setter_arguments(PyObject *arguments, const char *format, TypeSlot slot,
                           TextArgument &value, void **record) {
    PyObject *reference = nullptr;
    return value.parse(arguments, format, &reference) &&
           usable_reference(reference, slot, NullReference::kRefused, record);
}

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
