// Raising the faults of a record stream as Python exceptions.
#pragma once

#include <Python.h>

#include "core/record_stream.h"

namespace qn4t {

// Raises what a stream fault means to a script and returns null: MemoryError for Z_MEM_ERROR;
// IOError(errno, strerror) for the system's error (with `path` as the file name when it is
// not null); otherwise IOError with zlib's message, which names the file.
PyObject *raise_stream_fault(const StreamFault &fault, PyObject *path);

// qn4tGenericActionLoader.DamagedFileError, a subclass of IOError and ValueError: a file whose
// compressed data is cut short, corrupt or fails its check. A borrowed reference, made at the
// first call and kept for the life of the process; null with the exception set when it cannot
// be made. The companion module publishes it.
PyObject *DamagedFileError();

}  // namespace qn4t
