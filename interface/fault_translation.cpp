// The faults of whole-action reading and writing as Python exceptions (fault_translation.h).
#include "interface/fault_translation.h"

#include "interface/stream_faults.h"

namespace qn4t {

PyObject *raise_damaged(const std::string &report) {
    PyObject *type = DamagedFileError();  // sets the exception itself when it cannot be made
    if (type) PyErr_SetString(type, report.c_str());
    return nullptr;
}

PyObject *raise_write_fault(const std::string &report) {
    PyErr_SetString(PyExc_IOError, report.c_str());
    return nullptr;
}

}  // namespace qn4t
