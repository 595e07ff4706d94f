// The companion module _qn4tGenericActionSupport: the native calls that the Python-side
// classes need and the flat module must not gain (checked accessors, reads and writes that
// raise, the stream's open and close errors), and whole actions (action_objects.h). It lives in
// the flat module's shared object and is made by the flat module's start, so that both work on
// one set of records and streams with one copy of the binding.
#pragma once

#include <Python.h>

#include <array>

#include "binding/spelling.h"
#include "interface/method_row.h"

namespace qn4t {

// The name under which the companion is entered in sys.modules.
constexpr char kCompanionName[] = "_qn4tGenericActionSupport";

// Called by the flat module's start: makes the companion (once per process) and enters it in
// sys.modules under kCompanionName, in place of whatever is there (nothing, or the file
// _qn4tGenericActionSupport.py that is importing the flat module). False with the exception
// set.
bool StartCompanion();

// The companion's stream functions (support_streams.cpp), their Python names spelled once,
// and their rows, which open its method table (the record types' rows follow).
PyObject *stream_check_open(PyObject *, PyObject *arguments);
PyObject *stream_close(PyObject *, PyObject *arguments);

inline constexpr auto kCheckOpenName = fixed_text("stream_check_open");
inline constexpr auto kStreamCloseName = fixed_text("stream_close");

constexpr std::array<PyMethodDef, 2> support_stream_rows() {
    return {{method_row(kCheckOpenName.c_str(), stream_check_open),
             method_row(kStreamCloseName.c_str(), stream_close)}};
}

}  // namespace qn4t
