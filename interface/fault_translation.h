// The one place where the companion's native faults become Python exceptions: a C++
// exception never crosses into the interpreter, and each fault has one wording.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <type_traits>

namespace qn4t {

// The faults of whole-action reading and writing, each raised one way. Each returns null
// with the exception set, for `return raise_...(...)`.
//   out of memory       MemoryError (guarded, below)
//   damaged data        DamagedFileError with the reader's report, which names the offset
//   stream faults       IOError with the writer's report; the file object's own exception
//                       is passed on as it is
//   value faults        ValueError or TypeError naming the field, where the value is checked
PyObject *raise_damaged(const std::string &report);
PyObject *raise_write_fault(const std::string &report);

// What a call reports failure with: null for an object, false, or -1 for a status.
template <class T>
constexpr T failed_result() {
    if constexpr (std::is_pointer_v<T>)
        return nullptr;
    else if constexpr (std::is_same_v<T, bool>)
        return false;
    else
        return T(-1);
}

// Runs `work`, giving what it returns; when it runs out of memory, MemoryError is set and
// the failed result given. Whatever `work` reports itself is passed on as it is.
template <class Work>
auto guarded(Work &&work) -> decltype(work()) {
    try {
        return work();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return failed_result<decltype(work())>();
    }
}

}  // namespace qn4t
