// Whole actions to and from binary file objects: the file object's read() as the block
// reader's source, an iterator of Action objects over it, and its write() as the block
// writer's sink. (On Python 2 the PyBytes_ names are the byte string's.)
#include "interface/action_io.h"

#include <cstring>
#include <new>

#include "binding/host.h"
#include "core/action_file.h"
#include "interface/action_conversion.h"

namespace qn4t {
namespace {

PyObject *damaged_error = nullptr;
PyTypeObject reader_type;

// ---- A binary file object as byte source ----

// Reads with the file object's read(). The interpreter lock is held throughout: a thread
// that let it go while inflating would, when the interpreter ends, be ended by it in the
// middle of this code, which cannot unwind from there.
class FileSource : public ByteSource {
public:
    explicit FileSource(PyObject *file) : file_(file) {}
    long read(std::uint8_t *out, std::size_t capacity) override { return read_locked(out, capacity); }

private:
    long read_locked(std::uint8_t *out, std::size_t capacity) {
        PyObject *data = PyObject_CallMethod(file_, const_cast<char *>("read"), const_cast<char *>("n"),
                                             static_cast<Py_ssize_t>(capacity));
        if (!data) {
            // Leaving an iterator with StopIteration set would end the reading as if the file
            // were complete; as in a generator, it becomes RuntimeError.
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_RuntimeError, "the file's read() raised StopIteration");
            }
            return -1;
        }
        if (!PyBytes_Check(data) || static_cast<std::size_t>(PyBytes_GET_SIZE(data)) > capacity) {
            PyErr_Format(PyExc_TypeError, "the file's read() gave %s, not bytes of at most the size asked",
                         Py_TYPE(data)->tp_name);
            Py_DECREF(data);
            return -1;
        }
        const std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
        std::memcpy(out, PyBytes_AS_STRING(data), size);
        Py_DECREF(data);
        return static_cast<long>(size);
    }

    PyObject *file_;  // borrowed: the reader object holds it
};

// ---- A binary file object as byte sink ----

// True when `file` is a raw stream (io.RawIOBase), whose write() returns None for "nothing
// taken: it would block"; -1 with the exception set.
int is_raw_stream(PyObject *file) {
    PyObject *io = PyImport_ImportModule("io");
    PyObject *raw = io ? PyObject_GetAttrString(io, "RawIOBase") : nullptr;
    Py_XDECREF(io);
    if (!raw) return -1;
    const int is_raw = PyObject_IsInstance(file, raw);
    Py_DECREF(raw);
    return is_raw;
}

// Writes with the file object's write() until it has taken every byte. write() returns the
// number of bytes it took (io's streams; a raw one may take fewer), or None for all of them
// (Python 2's file and most objects written in Python). What takes nothing or answers
// anything else raises IOError, so that a file is never cut without a word.
class FileSink : public ByteSink {
public:
    FileSink(PyObject *file, bool raw) : file_(file), raw_(raw) {}

    bool write(const std::uint8_t *data, std::size_t size) override {
        PyObject *block = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data),
                                                    static_cast<Py_ssize_t>(size));
        if (!block) return false;
        bool ok = true;
        for (std::size_t done = 0; ok && done < size;) {
            // The rest of a block after a short write: a view of the same bytes, not a copy.
            PyObject *rest = done == 0 ? (Py_INCREF(block), block) : rest_of(block, done);
            PyObject *result = rest ? PyObject_CallMethod(file_, const_cast<char *>("write"),
                                                          const_cast<char *>("O"), rest)
                                    : nullptr;
            Py_XDECREF(rest);
            ok = result && taken(result, size - done, done);
            Py_XDECREF(result);
        }
        Py_DECREF(block);
        return ok;
    }

private:
    static PyObject *rest_of(PyObject *block, std::size_t from) {
        PyObject *view = PyMemoryView_FromObject(block);
        if (!view) return nullptr;
        PyObject *rest = PySequence_GetSlice(view, static_cast<Py_ssize_t>(from), PyBytes_GET_SIZE(block));
        Py_DECREF(view);
        return rest;
    }

    // Adds to `done` what write()'s `result` says it took of the `offered` bytes.
    bool taken(PyObject *result, std::size_t offered, std::size_t &done) {
        if (result == Py_None && !raw_) {
            done += offered;
            return true;
        }
        if (result == Py_None)
            return refuse("the file's write() took none of %zu bytes (None: it would block)", offered);
        if (PyFloat_Check(result) || !PyIndex_Check(result)) {
            PyErr_Format(PyExc_IOError, "the file's write() returned %s, not the number of bytes it took",
                         Py_TYPE(result)->tp_name);
            return false;
        }
        const Py_ssize_t count = PyNumber_AsSsize_t(result, nullptr);
        if (count == -1 && PyErr_Occurred()) return false;
        if (count == 0) return refuse("the file's write() took none of %zu bytes", offered);
        if (count < 0 || static_cast<std::size_t>(count) > offered) {
            PyErr_Format(PyExc_IOError, "the file's write() said it took %zd of %zu bytes", count, offered);
            return false;
        }
        done += static_cast<std::size_t>(count);
        return true;
    }

    static bool refuse(const char *format, std::size_t offered) {
        PyErr_Format(PyExc_IOError, format, offered);
        return false;
    }

    PyObject *file_;
    bool raw_;
};

// ---- The reader: an iterator of Action objects ----

struct ReaderState {
    ReaderState(PyObject *file, bool plain) : source(file), reader(source, plain) {}
    FileSource source;
    ActionReader reader;
    WholeAction action;
};

struct ReaderObject {
    PyObject_HEAD
    PyObject *file;
    ReaderState *state;  // null once the reading is over
    unsigned long long offset;  // uncompressed, behind the last action yielded
    bool running;  // inside reader_next, which may run the file's read() or other threads
};

void finish_reading(ReaderObject *r) {
    delete r->state;
    r->state = nullptr;
}

PyObject *next_action(ReaderObject *r) {
    try {
        const ActionReader::Step step = r->state->reader.next(r->state->action);
        r->offset = r->state->reader.offset();
        switch (step) {
        case ActionReader::Step::action: return action_object(r->state->action);
        case ActionReader::Step::end: finish_reading(r); return nullptr;
        case ActionReader::Step::damaged: break;
        }
        const bool python_error = r->state->reader.source_failed() && PyErr_Occurred();
        if (!python_error) PyErr_SetString(damaged_error, r->state->reader.error().c_str());
        finish_reading(r);
        return nullptr;
    } catch (const std::bad_alloc &) {
        finish_reading(r);
        return PyErr_NoMemory();
    }
}

// The file's read() may enter the iterator again, and so may another thread while read() runs: like a generator, the iterator then refuses, and what the running call uses stays.
PyObject *reader_next(PyObject *self) {
    auto *r = reinterpret_cast<ReaderObject *>(self);
    if (r->running) {
        PyErr_SetString(PyExc_ValueError, "read_actions iterator already executing");
        return nullptr;
    }
    if (!r->state) return nullptr;  // over: StopIteration
    Py_INCREF(self);  // kept alive to the end, whatever the file's read() drops
    r->running = true;
    PyObject *action = next_action(r);
    r->running = false;
    Py_DECREF(self);
    return action;
}

void reader_dealloc(PyObject *self) {
    auto *r = reinterpret_cast<ReaderObject *>(self);
    PyObject_GC_UnTrack(self);
    finish_reading(r);
    Py_CLEAR(r->file);
    PyObject_GC_Del(self);
}

int reader_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<ReaderObject *>(self)->file);
    return 0;
}

// The offset lets a caller place what it finds in an action, and where damage begins.
PyObject *reader_offset(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<ReaderObject *>(self)->offset);
}

PyGetSetDef reader_getset[] = {
    {const_cast<char *>("offset"), reader_offset, nullptr,
     const_cast<char *>("Uncompressed offset behind the last action read."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *read_actions(PyObject *, PyObject *args) {
    PyObject *file = nullptr;
    int plain = 0;
    if (!PyArg_ParseTuple(args, "O|i:_read_actions", &file, &plain)) return nullptr;
    ReaderObject *r = PyObject_GC_New(ReaderObject, &reader_type);
    if (!r) return nullptr;
    Py_INCREF(file);
    r->file = file;
    r->offset = 0;
    r->running = false;
    r->state = new (std::nothrow) ReaderState(file, plain != 0);
    PyObject_GC_Track(reinterpret_cast<PyObject *>(r));
    if (!r->state) {
        Py_DECREF(r);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject *>(r);
}

// ---- The writer ----

PyObject *write_actions(PyObject *, PyObject *args) {
    PyObject *file = nullptr, *actions = nullptr;
    unsigned int threads = 1;  // the package checks the count and picks the default
    if (!PyArg_ParseTuple(args, "OO|I:_write_actions", &file, &actions, &threads)) return nullptr;
    PyObject *iterator = PyObject_GetIter(actions);
    if (!iterator) return nullptr;
    std::size_t index = 0;
    bool ok = true;
    const int raw = is_raw_stream(file);
    if (raw < 0) {
        Py_DECREF(iterator);
        return nullptr;
    }
    try {
        FileSink sink(file, raw != 0);
        ActionWriter writer(sink, threads);
        WholeAction w;
        while (ok) {
            PyObject *item = PyIter_Next(iterator);  // may run Python code: nothing is held
            if (!item) {
                ok = !PyErr_Occurred();
                break;
            }
            ok = fill_action(item, index++, w);
            Py_DECREF(item);
            if (ok && !writer.write(w)) ok = false;
        }
        if (ok) ok = writer.finish();
        if (!ok && !PyErr_Occurred()) PyErr_SetString(PyExc_IOError, writer.error().c_str());
    } catch (const std::bad_alloc &) {
        ok = false;
        PyErr_NoMemory();
    }
    Py_DECREF(iterator);
    if (!ok) return nullptr;
    return host::int_from_long(static_cast<long>(index));
}

// The inflater whole files are read with, chosen when the module was built.
PyObject *inflater_name(PyObject *, PyObject *) {
    return host::text_from(Inflater::name().c_str());
}

// The threads write_actions uses when not told.
PyObject *write_threads(PyObject *, PyObject *) {
    return PyLong_FromUnsignedLong(default_write_threads());
}

PyMethodDef functions[] = {
    {"_read_actions", read_actions, METH_VARARGS,
     "Iterator of the actions read from a binary file object; plain=1 takes its bytes as uncompressed."},
    {"_write_actions", write_actions, METH_VARARGS,
     "Writes actions to a binary file object, compressing on the given number of threads."},
    {"_inflater", inflater_name, METH_NOARGS, "The inflater whole files are read with."},
    {"_write_threads", write_threads, METH_NOARGS, "The threads write_actions uses by default."},
    {nullptr, nullptr, 0, nullptr}};

bool ready_reader_type() {
    reader_type.tp_name = "_qn4tGenericActionSupport.ActionReader";
    reader_type.tp_basicsize = sizeof(ReaderObject);
    reader_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    reader_type.tp_flags |= host::iterator_flags();
    reader_type.tp_dealloc = reader_dealloc;
    reader_type.tp_traverse = reader_traverse;
    reader_type.tp_iter = PyObject_SelfIter;
    reader_type.tp_iternext = reader_next;
    reader_type.tp_getset = reader_getset;
    return PyType_Ready(&reader_type) == 0;
}

}  // namespace

bool add_action_io(PyObject *module, PyObject *damaged_file_error) {
    if (!(reader_type.tp_flags & Py_TPFLAGS_READY) && !ready_reader_type()) return false;
    Py_INCREF(damaged_file_error);
    Py_XDECREF(damaged_error);
    damaged_error = damaged_file_error;
    for (PyMethodDef *f = functions; f->ml_name; ++f) {
        PyObject *function = PyCFunction_New(f, nullptr);
        if (!function || PyModule_AddObject(module, f->ml_name, function) < 0) return false;
    }
    return true;
}

}  // namespace qn4t
