// ConvertPointer honours exactly None, "NULL" and pointer strings of live objects of the
// expected type; any other text or object fails with the one TypeError "Type error.
// Expected <name>" (or quietly, leaving no exception, without the raise flag). DecodeHex
// reads exactly its 2 x count characters and agrees with the decoding rule written out
// here on its own.
//
// Input: a control byte (bits 0-2 the expected type's slot, bit 3 the raise flag, bits 4-5
// the form of the object: string, string subclass, instance with "this", unicode; bit 6
// splices in the address of a live object, bit 7 that of a deleted one), an object byte
// (which live object), then the text, or with bit 6 or 7 the text behind the address.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "binding/live_references.h"
#include "binding/pointer_string.h"
#include "binding/type_registry.h"
#include "embedded_module.h"
#include "interface/stream_interface.h"
#include "memory_file.h"

namespace {

using namespace qn4t_fuzz;

struct Fixture {
    std::vector<void *> live;  // one live record of each type in slot order, then a stream
    void *deleted = nullptr;   // the address of a record that has been deleted
    PyObject *string_subclass = nullptr;
    PyObject *holder_class = nullptr;  // instances take any "this"
};

// The address behind a reference the module just handed out; takes the reference.
void *pointer_of(PyObject *reference, qn4t::TypeSlot slot) {
    void *pointer = nullptr;
    if (!reference || qn4t::ConvertPointer(reference, &pointer, qn4t::TypeTable[slot], 1) != 0)
        fail("the fixture cannot make its objects");
    Py_DECREF(reference);
    return pointer;
}

const Fixture &fixture() {
    static const Fixture made = [] {
        Fixture f;
        embedded_module();
        for (int slot = 0; slot < qn4t::kTypeSlotCount; ++slot) {
            if (slot == qn4t::kCharSlot || slot == qn4t::kStreamSlot) continue;  // not records
            const std::string record = std::string(qn4t::TypeTable[slot]->name).substr(3);  // "_p_"
            f.live.push_back(pointer_of(call_module(("new_" + record).c_str(), "()"),
                                        static_cast<qn4t::TypeSlot>(slot)));
        }
        f.live.push_back(pointer_of(call_module("qn4tGenericOpen", "(si)", "/nonexistent/qn4t", 0),
                                    qn4t::kStreamSlot));
        PyObject *doomed = call_module("new_qn4tGeneric_Damage_Details", "()");
        Py_XINCREF(doomed);  // kept for the delete below
        f.deleted = pointer_of(doomed, qn4t::slot_of<qn4tGeneric_Damage_Details>);
        PyObject *deleted = call_module("delete_qn4tGeneric_Damage_Details", "(O)", doomed);
        if (!deleted) fail("the fixture cannot delete a record");
        Py_DECREF(deleted);
        Py_DECREF(doomed);
        PyObject *classes = run_python(
            "class StringSubclass(str): pass\n"
            "class Holder(object): pass\n");
        f.string_subclass = PyDict_GetItemString(classes, "StringSubclass");
        f.holder_class = PyDict_GetItemString(classes, "Holder");
        Py_INCREF(f.string_subclass);
        Py_INCREF(f.holder_class);
        Py_DECREF(classes);
        return f;
    }();
    return made;
}

// The decoding rule: a bad high digit keeps the previous byte's high part (the
// accumulator carries over), a bad low digit adds nothing.
int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
std::vector<std::uint8_t> reference_decode(const char *text, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    unsigned accumulator = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (digit(text[2 * i]) >= 0) accumulator = unsigned(digit(text[2 * i])) << 4;
        if (digit(text[2 * i + 1]) >= 0) accumulator |= unsigned(digit(text[2 * i + 1]));
        bytes[i] = static_cast<std::uint8_t>(accumulator);
    }
    return bytes;
}

void check_decode_hex(const std::string &text) {
    const std::size_t count = std::min<std::size_t>(text.size() / 2, 16);
    std::vector<char> exact(text.begin(), text.begin() + 2 * count);  // ASan sees any overread
    std::vector<std::uint8_t> decoded(count);
    if (qn4t::DecodeHex(exact.data(), decoded.data(), count) != exact.data() + 2 * count)
        fail("DecodeHex did not stop behind its characters");
    if (decoded != reference_decode(exact.data(), count)) fail("DecodeHex broke the decoding rule");
    std::vector<char> encoded(2 * count);
    qn4t::EncodeHex(encoded.data(), decoded.data(), count);
    std::vector<std::uint8_t> again(count);
    qn4t::DecodeHex(encoded.data(), again.data(), count);
    if (again != decoded) fail("EncodeHex and DecodeHex do not round-trip");
}

// What the conversion must give, worked out from the text alone.
bool expect_success(const std::string &text, qn4t::TypeSlot slot, void **expected_pointer) {
    *expected_pointer = nullptr;
    if (text == "NULL") return true;
    if (text.size() < 1 + qn4t::kPointerDigits || text[0] != '_') return false;
    const std::vector<std::uint8_t> bytes = reference_decode(text.data() + 1, qn4t::kPointerBytes);
    std::memcpy(expected_pointer, bytes.data(), sizeof(void *));
    if (text.substr(1 + qn4t::kPointerDigits) != qn4t::TypeTable[slot]->name) return false;
    return !*expected_pointer ||
           qn4t::live_references().type_at(*expected_pointer) == qn4t::TypeTable[slot];
}

std::string hex_of(void *pointer) {
    char digits[qn4t::kPointerDigits];
    qn4t::EncodeHex(digits, &pointer, qn4t::kPointerBytes);
    return std::string(digits, sizeof digits);
}

PyObject *object_of_form(int form, const std::string &text) {
    PyObject *string = PyString_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!string) fail("cannot make the string");
    PyObject *object = nullptr;
    switch (form) {
    case 0:
        return string;
    case 1:
        object = PyObject_CallFunctionObjArgs(fixture().string_subclass, string, nullptr);
        break;
    case 2:
        object = PyObject_CallObject(fixture().holder_class, nullptr);
        if (object && PyObject_SetAttrString(object, "this", string) != 0) fail("cannot set this");
        break;
    default:
        object = PyUnicode_FromEncodedObject(string, "latin-1", "strict");
        break;
    }
    Py_DECREF(string);
    if (!object) fail("cannot make the object");
    return object;
}

void check_conversion(PyObject *object, bool is_unicode, const std::string &text,
                      qn4t::TypeSlot slot, int flags) {
    void *expected_pointer = nullptr;
    const bool succeed = !is_unicode && expect_success(text, slot, &expected_pointer);
    void *pointer = reinterpret_cast<void *>(0x1);
    const int result = qn4t::ConvertPointer(object, &pointer, qn4t::TypeTable[slot], flags);
    if (succeed) {
        if (result != 0) fail("a valid reference was refused");
        if (pointer != expected_pointer) fail("a reference converted to the wrong address");
        if (PyErr_Occurred()) fail("a success left an exception pending");
        return;
    }
    if (result != -1) fail("an invalid reference was honoured");
    if (!(flags & qn4t::kRaiseOnMismatch)) {
        if (PyErr_Occurred()) fail("a quiet failure left an exception pending");
        return;
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    const std::string message = std::string("Type error. Expected ") + qn4t::TypeTable[slot]->name;
    if (type != PyExc_TypeError || !value || !PyString_Check(value) ||
        message != PyString_AsString(value))
        fail("a failed conversion did not raise its TypeError");
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

// NewPointerObject of a live object converts back to the same address.
void check_round_trip(void *pointer, qn4t::TypeSlot slot) {
    PyObject *reference = qn4t::NewPointerObject(pointer, qn4t::TypeTable[slot], 0);
    void *back = nullptr;
    if (!reference || qn4t::ConvertPointer(reference, &back, qn4t::TypeTable[slot], 1) != 0 ||
        back != pointer)
        fail("a handed-out reference does not convert back");
    Py_DECREF(reference);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const Fixture &f = fixture();
    if (size < 2) return 0;
    const auto slot = static_cast<qn4t::TypeSlot>(data[0] & 7);
    const int flags = (data[0] >> 3) & 1;
    const int form = (data[0] >> 4) & 3;
    void *spliced = (data[0] & 0x80) ? f.deleted
                    : (data[0] & 0x40) ? f.live[data[1] % f.live.size()]
                                       : nullptr;
    std::string text(reinterpret_cast<const char *>(data) + 2, size - 2);
    if (spliced) text = "_" + hex_of(spliced) + text;

    check_decode_hex(text);
    PyObject *object = object_of_form(form, text);
    check_conversion(object, form == 3, text, slot, flags);
    Py_DECREF(object);
    if (data[0] & 0x40) {
        void *live = f.live[data[1] % f.live.size()];
        const qn4t::TypeDescriptor *type = qn4t::live_references().type_at(live);
        for (int s = 0; s < qn4t::kTypeSlotCount; ++s)
            if (qn4t::TypeTable[s] == type) check_round_trip(live, static_cast<qn4t::TypeSlot>(s));
    }
    return 0;
}
