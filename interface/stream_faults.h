// Raising the faults of a record stream as Python exceptions.
#pragma once

#include <Python.h>

#include "core/record_stream.h"

namespace qn4t {

// Raises what a stream fault means to a script and returns null: MemoryError for Z_MEM_ERROR;
// IOError(errno, strerror) for the system's error (with `path` as the file name when it is
// not null); otherwise IOError with zlib's message, which names the file.
PyObject *raise_stream_fault(const StreamFault &fault, PyObject *path);

}  // namespace qn4t
