// The companion extension module _qn4tGenericActionSupport: the native calls that the
// Python-side classes need and the flat module must not gain (checked accessors, reads and
// writes that raise, the stream's open and close errors), working on the flat module's own
// records and streams (binding/shared_state.h), and whole actions (action_objects.h).
#pragma once

#include <Python.h>

#include <cstddef>

#include "binding/host.h"
#include "interface/method_rows.h"

// Called by the interpreter at `import _qn4tGenericActionSupport`.
QN4T_ENTRY_POINT(_qn4tGenericActionSupport);

namespace qn4t {

// qn4tGenericActionLoader.DamagedFileError, a subclass of IOError and ValueError: a file whose
// compressed data is cut short, corrupt or fails its check. A borrowed reference, made at the
// module's start and kept for the life of the process.
PyObject *DamagedFileError();

// The row sets of the module's method table, by source file.
extern const MethodRows kSupportStreamRows[];      // support_streams.cpp
extern const std::size_t kSupportStreamRowSets;
extern const MethodRows kSupportRecordRows[];      // support_records.cpp: each record type
extern const std::size_t kSupportRecordRowSets;

}  // namespace qn4t
