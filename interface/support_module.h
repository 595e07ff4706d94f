// The companion extension module _qn4tGenericActionSupport: the native calls that the
// Python-side classes need and the flat module must not gain (checked accessors, reads and
// writes that raise, the stream's open and close errors), working on the flat module's own
// records and streams (binding/shared_state.h), and whole actions (action_objects.h).
#pragma once

#include <Python.h>

#include <array>

#include "binding/host.h"
#include "binding/spelling.h"
#include "interface/method_row.h"

// Called by the interpreter at `import _qn4tGenericActionSupport`.
QN4T_ENTRY_POINT(_qn4tGenericActionSupport);

namespace qn4t {

// qn4tGenericActionLoader.DamagedFileError, a subclass of IOError and ValueError: a file whose
// compressed data is cut short, corrupt or fails its check. A borrowed reference, made at the
// module's start and kept for the life of the process.
PyObject *DamagedFileError();

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
