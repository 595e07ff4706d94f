// Encoding and checked decoding of pointer strings, and shadow-class objects.
#include "pointer_string.h"

#include <cstring>
#include <string_view>

#include "host.h"
#include "live_references.h"

namespace qn4t {
namespace {

constexpr char kDigits[] = "0123456789abcdef";
constexpr std::size_t kPointerTextCapacity = 1024;  // the stack buffer of a pointer string
constexpr std::size_t kDataStringLimit = 1000;

// The value of every character as a lower-case hex digit, kNotADigit for the others: one
// load per character on the hot path of every conversion, instead of two range tests.
constexpr unsigned char kNotADigit = 0xff;
struct DigitValues {
    unsigned char of[256];
    constexpr DigitValues() : of() {
        for (int c = 0; c < 256; ++c)
            of[c] = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : kNotADigit;
    }
};
constexpr DigitValues kDigitValues;

unsigned digit_value(char c) { return kDigitValues.of[static_cast<unsigned char>(c)]; }

// Decodes the text of a reference into the pointer it claims, cast to the expected type.
// 0 on success, -1 on a mismatch. Whether the object lives is checked apart (lives_as).
int decode_reference(std::string_view text, void **pointer, TypeDescriptor *expected) {
    if (text.empty() || text[0] != '_') {
        *pointer = nullptr;
        return text == "NULL" ? 0 : -1;
    }
    if (text.size() - 1 < kPointerDigits) return -1;  // ends inside the hexadecimal part
    void *decoded = nullptr;
    DecodeHex(text.data() + 1, &decoded, kPointerBytes);
    *pointer = decoded;
    if (expected) {
        const CastEntry *entry = FindCastEntry(text.substr(1 + kPointerDigits), expected);
        if (!entry) return -1;
        decoded = ApplyCast(entry, decoded);
    }
    *pointer = decoded;
    return 0;
}

// Only objects this module handed out and that still live are honoured: null, or an
// object that lives as the expected type (as any type when none is expected).
bool lives_as(const void *pointer, const TypeDescriptor *expected) {
    if (!pointer) return true;
    const TypeDescriptor *live_as = live_references().type_at(pointer);
    return live_as && (!expected || live_as == expected);
}

int conversion_failed(const TypeDescriptor *expected, int flags) {
    if (flags & kRaiseOnMismatch)
        RaiseTypeMismatch(expected);
    else
        PyErr_Clear();  // nothing may stay pending behind a quiet failure
    return -1;
}

// "_" + hex of `size` bytes + the type's name, into `out` (large enough).
std::size_t spell_pointer(char *out, const void *bytes, std::size_t size, const TypeDescriptor *type) {
    char *p = out;
    *p++ = '_';
    p = EncodeHex(p, bytes, size);
    const std::size_t name_size = std::strlen(type->name);
    std::memcpy(p, type->name, name_size + 1);
    return static_cast<std::size_t>(p - out) + name_size;
}

}  // namespace

char *EncodeHex(char *destination, const void *source, std::size_t count) {
    const auto *bytes = static_cast<const unsigned char *>(source);
    for (std::size_t i = 0; i < count; ++i) {
        *destination++ = kDigits[bytes[i] >> 4];
        *destination++ = kDigits[bytes[i] & 0xf];
    }
    return destination;
}

const char *DecodeHex(const char *source, void *destination, std::size_t count) {
    auto *bytes = static_cast<unsigned char *>(destination);
    unsigned accumulator = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned high = digit_value(*source++);
        if (high != kNotADigit) accumulator = high << 4;
        const unsigned low = digit_value(*source++);
        if (low != kNotADigit) accumulator |= low;
        bytes[i] = static_cast<unsigned char>(accumulator);
    }
    return source;
}

PyObject *ThisAttributeName() {
    static PyObject *name = nullptr;
    if (!name) name = host::interned("this");
    return name;
}

void RaiseTypeMismatch(const TypeDescriptor *expected) {
    if (expected)
        PyErr_Format(PyExc_TypeError, "Type error. Expected %s", expected->name);
    else
        PyErr_SetString(PyExc_TypeError, "Expected a pointer");
}

int ConvertPointer(PyObject *object, void **pointer, TypeDescriptor *expected, int flags) {
    if (object == Py_None) {
        *pointer = nullptr;
        return 0;
    }
    PyObject *held = nullptr;  // the "this" value of a shadow instance
    PyObject *source = object;
    if (!host::is_str(object)) {
        PyObject *name = ThisAttributeName();
        held = name ? PyObject_GetAttr(object, name) : nullptr;
        if (!held || !host::is_str(held)) {
            Py_XDECREF(held);
            return conversion_failed(expected, flags);
        }
        source = held;
    }
    std::size_t size = 0;
    const char *text = host::str_data(source, &size);
    const int result = decode_reference(std::string_view(text, size), pointer, expected);
    // Dropping "this" can run Python code (the __del__ of a str subclass), so the live
    // set is asked only afterwards.
    Py_XDECREF(held);
    return result == 0 && lives_as(*pointer, expected) ? 0 : conversion_failed(expected, flags);
}

PyObject *NewPointerObject(void *pointer, const TypeDescriptor *type, int own) {
    if (!pointer) return host::none();
    char text[kPointerTextCapacity];
    spell_pointer(text, &pointer, kPointerBytes, type);
    PyObject *string = host::text_from(text);
    if (!string || !type->client_data) return string;

    PyObject *arguments = Py_BuildValue("(O)", string);
    PyObject *instance = arguments ? PyObject_CallObject(type->client_data, arguments) : nullptr;
    Py_XDECREF(arguments);
    if (!instance) {
        PyErr_Clear();  // the plain string stands in; no exception behind a result
        return string;
    }
    Py_DECREF(string);
    if (own) {
        PyObject *one = host::int_from_long(1);
        if (!one || PyObject_SetAttrString(instance, "thisown", one) != 0) PyErr_Clear();
        Py_XDECREF(one);
    }
    return instance;
}

PyObject *NewDataString(const void *data, std::size_t size, const TypeDescriptor *type) {
    // Compared without forming 2 x size, which could wrap for a huge (or negative) length.
    const std::size_t name_size = std::strlen(type->name);
    if (name_size + 1 > kDataStringLimit || size > (kDataStringLimit - name_size - 1) / 2) return nullptr;
    char text[kPointerTextCapacity];
    spell_pointer(text, data, size, type);
    return host::text_from(text);
}

}  // namespace qn4t
