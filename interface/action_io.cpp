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

// ---- A binary file object as byte source and sink ----

class FileSource : public ByteSource {
public:
    explicit FileSource(PyObject *file) : file_(file) {}
    long read(std::uint8_t *out, std::size_t capacity) override {
        PyObject *data = PyObject_CallMethod(file_, const_cast<char *>("read"), const_cast<char *>("n"),
                                             static_cast<Py_ssize_t>(capacity));
        if (!data) return -1;
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

private:
    PyObject *file_;  // borrowed: the reader object holds it
};

class FileSink : public ByteSink {
public:
    explicit FileSink(PyObject *file) : file_(file) {}
    bool write(const std::uint8_t *data, std::size_t size) override {
        PyObject *block = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data), static_cast<Py_ssize_t>(size));
        if (!block) return false;
        PyObject *result = PyObject_CallMethod(file_, const_cast<char *>("write"), const_cast<char *>("O"), block);
        Py_DECREF(block);
        Py_XDECREF(result);
        return result != nullptr;
    }

private:
    PyObject *file_;
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
};

void finish_reading(ReaderObject *r) {
    delete r->state;
    r->state = nullptr;
}

PyObject *reader_next(PyObject *self) {
    auto *r = reinterpret_cast<ReaderObject *>(self);
    if (!r->state) return nullptr;  // over: StopIteration
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
    if (!PyArg_ParseTuple(args, "OO:_write_actions", &file, &actions)) return nullptr;
    PyObject *iterator = PyObject_GetIter(actions);
    if (!iterator) return nullptr;
    std::size_t index = 0;
    bool ok = true;
    try {
        FileSink sink(file);
        ActionWriter writer(sink);
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

PyMethodDef functions[] = {
    {"_read_actions", read_actions, METH_VARARGS,
     "Iterator of the actions read from a binary file object; plain=1 takes its bytes as uncompressed."},
    {"_write_actions", write_actions, METH_VARARGS, "Writes actions to a binary file object."},
    {nullptr, nullptr, 0, nullptr}};

bool ready_reader_type() {
    reader_type.tp_name = "_qn4tGenericActionSupport.ActionReader";
    reader_type.tp_basicsize = sizeof(ReaderObject);
    reader_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
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
