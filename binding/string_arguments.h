// What the string arguments of the flat functions accept on either Python host, and the
// messages a refused one gets: a text setter's value, and the path of qn4tGenericOpen.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "binding/host.h"

namespace qn4t {

// The parse codes of a text setter's arguments: the record ("O"), then the text value.
// Python 2 parses the text with "s"; Python 3's "s" would refuse bytes and any text that
// is not strict UTF-8, so there the value goes through TextArgument's converter ("O&").
#if QN4T_PYTHON3
inline constexpr std::string_view kTextSetterCodes = "OO&";
#else
inline constexpr std::string_view kTextSetterCodes = "Os";
#endif

// A text value given to a setter, valid until the object is destroyed. On Python 2 what
// the "s" code gives: a str without zero bytes. On Python 3 a str, encoded as UTF-8 with
// "surrogateescape", or bytes taken as they are; a value holding a zero byte is refused
// with TypeError as on Python 2.
class TextArgument {
public:
    // `function` names the setter in the messages of a refused value.
    explicit TextArgument(const char *function) : function_(function) {}
    ~TextArgument();
    TextArgument(const TextArgument &) = delete;
    TextArgument &operator=(const TextArgument &) = delete;

    const char *text() const { return text_; }

    // Parses (object, text) with a format whose codes are kTextSetterCodes; false with
    // the exception set.
    bool parse(PyObject *arguments, const char *format, PyObject **object);

private:
#if QN4T_PYTHON3
    // The "O&" converter: 1 with the bytes kept, 0 with the exception set.
    static int convert(PyObject *value, void *address);
    // Keeps `text` (owned by `owner`, or by the argument itself when owner is null) unless
    // it holds a zero byte: 1, or 0 with TypeError set. Takes over the owner's reference.
    int keep(const char *text, std::size_t size, PyObject *owner);
    PyObject *bytes_ = nullptr;  // what keeps text_ alive, when the argument does not
#endif
    const char *text_ = nullptr;
    [[maybe_unused]] const char *function_;  // named in Python 3's refusals only
};

// The path argument of qn4tGenericOpen: its parse code, and the parse of (path, int) with a
// format that starts with that code. Python 2 parses the path with "s". Python 3's own "s"
// refuses a path holding a zero byte with ValueError; there a converter ("O&") takes a str
// as "s" does (UTF-8) and refuses such a path with the TypeError of Python 2.7.
#if QN4T_PYTHON3
#define QN4T_PATH_CODE "O&"
#else
#define QN4T_PATH_CODE "s"
#endif

// Parses (path, int) with a format "<QN4T_PATH_CODE>i:<function>"; `function` names the
// function in the messages of a refused path. The path is valid while the argument lives.
// False with the exception set.
bool parse_path_and_int(PyObject *arguments, const char *format, const char *function,
                        const char **path, int *number);

}  // namespace qn4t
