// Pointer strings: native pointers travelling through Python as "_<hex><mangled name>",
// and the two boundary operations every wrapper uses.
#pragma once

#include <Python.h>

#include <cstddef>

#include "type_registry.h"

namespace qn4t {

// Bytes of a native pointer, and the hexadecimal digits that carry them.
constexpr std::size_t kPointerBytes = sizeof(void *);
constexpr std::size_t kPointerDigits = 2 * kPointerBytes;

// Flag for ConvertPointer: raise TypeError on failure.
constexpr int kRaiseOnMismatch = 1;

// Writes 2 x count lower-case hex digits of `source` bytes; returns the place behind them.
char *EncodeHex(char *destination, const void *source, std::size_t count);

// Reads 2 x count characters into count bytes; a character that is not a lower-case hex
// digit adds nothing (a bad high digit keeps the previous byte's high part). Returns the
// place behind the characters read.
const char *DecodeHex(const char *source, void *destination, std::size_t count);

// Turns a pointer string, None, "NULL", or an object whose "this" is such a string into
// a native pointer of the expected type. None and "NULL" give null. A non-null pointer
// must be a live object of the expected type (see live_references.h); it is checked after
// the last Python code this function runs, but Python code that the caller runs later can
// delete the object (see reference_arguments.h). Returns 0, or -1 (with TypeError "Type
// error. Expected <name>" when flags has kRaiseOnMismatch).
int ConvertPointer(PyObject *object, void **pointer, TypeDescriptor *expected, int flags);

// Raises the TypeError of a failed conversion to `expected`.
void RaiseTypeMismatch(const TypeDescriptor *expected);

// A new reference: None for null; the pointer string; or, when a shadow class is
// registered for the type, an instance made from the string ("thisown" set to 1 when
// `own`). Null with an exception set only when the string cannot be made.
PyObject *NewPointerObject(void *pointer, const TypeDescriptor *type, int own);

// "_<hex of size data bytes><mangled name>" as a new string; null without an exception
// when it would be longer than 1000 characters.
PyObject *NewDataString(const void *data, std::size_t size, const TypeDescriptor *type);

// The interned name "this", made on first need and kept.
PyObject *ThisAttributeName();

}  // namespace qn4t
