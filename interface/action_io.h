// Whole actions to and from binary file objects: the block reader as an iterator and the
// block writer, added to a module.
#pragma once

#include <Python.h>

#include <memory>

#include "core/action_file.h"

namespace qn4t {

// Adds to `module` (the companion extension module):
//   _read_actions(file, plain=0)  an iterator of actions read with file.read() in blocks;
//                        raises DamagedFileError after the last complete action of a
//                        damaged file
//   _write_actions(file, actions, threads)  writes the actions as a gzip file with
//                        file.write() (parallel_deflate.h: one member, or one per block)
//   _deflater()          "libdeflate" or "zlib": what the threads deflate with
// Returns false with the exception set when something cannot be added.
bool add_action_io(PyObject *module);

// A byte source that reads with `file`'s read(), as _read_actions does, for the companion's
// other readers of whole files. `file` is borrowed: the caller keeps it alive.
std::unique_ptr<ByteSource> file_source(PyObject *file);

// One call at a time into an object whose calls run the file's read() (which may call in
// again, or let another thread in): a call made meanwhile is refused with ValueError
// `busy`, as a generator refuses, so that what the running call uses stays. The object is
// kept alive to the end of the call, whatever read() drops.
class OneCallAtATime {
public:
    OneCallAtATime(PyObject *self, bool &running, const char *busy) : self_(self), running_(running) {
        if (running_) {
            PyErr_SetString(PyExc_ValueError, busy);
            return;
        }
        entered_ = running_ = true;
        Py_INCREF(self_);
    }
    ~OneCallAtATime() {
        if (!entered_) return;
        running_ = false;
        Py_DECREF(self_);  // last: it may free the object that holds `running`
    }
    OneCallAtATime(const OneCallAtATime &) = delete;
    OneCallAtATime &operator=(const OneCallAtATime &) = delete;

    bool entered() const { return entered_; }

private:
    PyObject *self_;
    bool &running_;
    bool entered_ = false;
};

}  // namespace qn4t
