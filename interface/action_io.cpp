// Whole actions to and from binary file objects: the file object's read() as the block
// reader's source, an iterator of Action objects over it, and its write() as the block
// writer's sink. (On Python 2 the PyBytes_ names are the byte string's.)
#include "interface/action_io.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <vector>

#include <sodium.h>

#include "binding/host.h"
#include "core/action_file.h"
#include "interface/action_conversion.h"
#include "interface/action_walk.h"
#include "interface/fault_translation.h"
#include "interface/file_work.h"
#include "interface/module_add.h"

namespace qn4t {
namespace {


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
    PyObject *damage;  // the facts of the damage that ended the reading, or null
    bool running;  // inside reader_next, which may run the file's read() or other threads
    static int visit(ReaderObject *r, visitproc visit, void *arg) {
        Py_VISIT(r->damage);
        return 0;
    }
    static void clear(ReaderObject *r) { Py_CLEAR(r->damage); }
};
using ReaderType = FileWorkType<ReaderObject>;

void finish_reading(ReaderObject *r) { ReaderType::finish(r); }

PyObject *next_action(ReaderObject *r) {
    ActionReader::Step step = ActionReader::Step::damaged;
    const bool stepped = guarded([&] {
        step = r->state->reader.next(r->state->action);
        return true;
    });
    r->offset = r->state->reader.offset();
    if (stepped && step == ActionReader::Step::action)
        return guarded([&] { return action_object(r->state->action); });
    const bool python_error = r->state->reader.source_failed() && PyErr_Occurred();
    if (stepped && step == ActionReader::Step::damaged && !python_error) {
        r->damage = damage_facts(r->state->reader.damage(), r->state->reader.error());
        if (!r->damage) return nullptr;  // no memory: the reading goes on being refused
        raise_damaged(r->state->reader.error());
    }
    finish_reading(r);
    return nullptr;
}

PyObject *reader_next(PyObject *self) {
    auto *r = reinterpret_cast<ReaderObject *>(self);
    const OneCallAtATime call(self, r->running, "read_actions iterator already executing");
    if (!call.entered()) return nullptr;
    if (!r->state) return nullptr;  // over: StopIteration
    return next_action(r);
}

// The offset lets a caller place what it finds in an action, and where damage begins.
PyObject *reader_offset(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<ReaderObject *>(self)->offset);
}

PyObject *reader_damage(PyObject *self, void *) {
    PyObject *damage = reinterpret_cast<ReaderObject *>(self)->damage;
    if (!damage) Py_RETURN_NONE;
    Py_INCREF(damage);
    return damage;
}

PyGetSetDef reader_getset[] = {
    {const_cast<char *>("offset"), reader_offset, nullptr,
     const_cast<char *>("Uncompressed offset behind the last action read."), nullptr},
    {const_cast<char *>("damage"), reader_damage, nullptr,
     const_cast<char *>("The facts of the damage that ended the reading (a dict), or None."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *read_actions(PyObject *, PyObject *args) {
    PyObject *file = nullptr;
    int plain = 0;
    if (!PyArg_ParseTuple(args, "O|i:_read_actions", &file, &plain)) return nullptr;
    return reinterpret_cast<PyObject *>(ReaderType::make(file, plain != 0));
}

// ---- The uncompressed bytes: the block reader as a binary file object ----

// The bytes read_actions decodes, for a caller that reads them itself (actiontool places
// damage field by field): read(n) gives them, and the reader's facts say whether the input
// was gzip, how far it is read and what ended the gzip data early. At such a fault read()
// gives what was inflated before it, then b"" as at an end; fault() says what it was.
struct InflatedState {
    explicit InflatedState(PyObject *file) : source(file), reader(source) {}
    std::size_t pending() const { return end - begin; }
    FileSource source;
    BlockReader reader;
    // Inflated a block at a time, whatever read() asks: an inflater given little room at a
    // time may hold back bytes inflated before a fault, which would then be lost.
    ByteBlock block;
    std::size_t begin = 0, end = 0;  // the bytes of the block not yet given out
};

constexpr std::size_t kInflatedBlock = 256 * 1024;

struct InflatedObject {
    PyObject_HEAD
    PyObject *file;
    InflatedState *state;
    bool running;  // inside a call that may run the file's read()
    static int visit(InflatedObject *, visitproc, void *) { return 0; }
    static void clear(InflatedObject *) {}
};
using InflatedType = FileWorkType<InflatedObject>;

constexpr const char *kInflatedBusy = "the inflated stream is already being read";

// At a failure of the reader: the file's own exception, or None (the gzip data ended at a
// fault, which fault() describes).
bool reader_failed(InflatedObject *r) {
    return r->state->reader.source_failed() && PyErr_Occurred();
}

PyObject *inflated_read(PyObject *self, PyObject *args) {
    auto *r = reinterpret_cast<InflatedObject *>(self);
    Py_ssize_t size = -1;
    if (!PyArg_ParseTuple(args, "|n:read", &size)) return nullptr;
    const OneCallAtATime call(self, r->running, kInflatedBusy);
    if (!call.entered()) return nullptr;
    InflatedState &state = *r->state;
    bool ok = true;
    if (size != 0 && state.pending() == 0) {
        ok = guarded([&] {
            state.block.grow(kInflatedBlock, 0);
            const long got = state.reader.read(state.block.data(), kInflatedBlock);
            state.begin = state.end = 0;
            if (got > 0) state.end = static_cast<std::size_t>(got);
            if (got < 0 && reader_failed(r)) return false;
            if (got < 0 && state.reader.fault().kind == BlockReader::Fault::Kind::none)
                return raise_damaged(state.reader.error()) != nullptr;  // no memory
            return true;
        });
    }
    PyObject *result = nullptr;
    if (ok) {
        const std::size_t n = size < 0 ? state.pending()
                                       : std::min(state.pending(), static_cast<std::size_t>(size));
        result = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(state.block.data() + state.begin),
                                           static_cast<Py_ssize_t>(n));
        if (result) state.begin += n;
    }
    return result;
}

PyObject *inflated_gzip(PyObject *self, PyObject *) {
    auto *r = reinterpret_cast<InflatedObject *>(self);
    const OneCallAtATime call(self, r->running, kInflatedBusy);
    if (!call.entered()) return nullptr;
    const bool gzip = r->state->reader.gzip();
    const bool failed = reader_failed(r);
    if (failed) return nullptr;
    return PyBool_FromLong(gzip);
}

// (kind, compressed offset, words) of what ended the gzip data early, or None: "cut" (the
// member starting at the offset has no end), "corrupt" (shown by the byte before the offset,
// in the inflater's words) or "trailing" (at the offset; words: the number of bytes that
// start no member behind the last one, counted by reading the rest).
PyObject *inflated_fault(PyObject *self, PyObject *) {
    auto *r = reinterpret_cast<InflatedObject *>(self);
    using Kind = BlockReader::Fault::Kind;
    const BlockReader::Fault fault = r->state->reader.fault();
    if (fault.kind == Kind::none) Py_RETURN_NONE;
    if (fault.kind == Kind::trailing) {
        const OneCallAtATime call(self, r->running, kInflatedBusy);
        if (!call.entered()) return nullptr;
        const long long count = r->state->reader.trailing_bytes();
        const bool failed = reader_failed(r);
        if (failed) return nullptr;
        return Py_BuildValue("(sKL)", "trailing", static_cast<unsigned long long>(fault.at), count);
    }
    return Py_BuildValue("(sKs)", fault.kind == Kind::cut ? "cut" : "corrupt",
                         static_cast<unsigned long long>(fault.at), fault.problem.c_str());
}

// The cut or corrupt fault in the words every reader of a file gives it, or None.
PyObject *inflated_fault_words(PyObject *self, PyObject *) {
    const std::string words = reinterpret_cast<InflatedObject *>(self)->state->reader.fault().words();
    if (words.empty()) Py_RETURN_NONE;
    return host::text_from(words.c_str());
}

PyObject *inflated_delivered(PyObject *self, void *) {
    const InflatedState &state = *reinterpret_cast<InflatedObject *>(self)->state;
    return PyLong_FromUnsignedLongLong(state.reader.delivered() - state.pending());
}

PyObject *inflated_compressed_offset(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(
        reinterpret_cast<InflatedObject *>(self)->state->reader.compressed_offset());
}

PyObject *inflated_readable(PyObject *, PyObject *) { Py_RETURN_TRUE; }

PyMethodDef inflated_methods[] = {
    {"read", inflated_read, METH_VARARGS,
     "Up to n uncompressed bytes (at least one unless at the end; all of a block without n); b'' at the end."},
    {"gzip", inflated_gzip, METH_NOARGS, "Whether the input starts as gzip (else it is read as it stands)."},
    {"fault", inflated_fault, METH_NOARGS,
     "What ended the gzip data early: None, or (kind, compressed offset, words or count)."},
    {"fault_words", inflated_fault_words, METH_NOARGS,
     "A cut or corrupt fault in the words every reader gives it; None without one."},
    {"readable", inflated_readable, METH_NOARGS, "True."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef inflated_getset[] = {
    {const_cast<char *>("delivered"), inflated_delivered, nullptr,
     const_cast<char *>("Uncompressed bytes given out so far."), nullptr},
    {const_cast<char *>("compressed_offset"), inflated_compressed_offset, nullptr,
     const_cast<char *>("Compressed bytes inflated so far."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *inflate(PyObject *, PyObject *args) {
    PyObject *file = nullptr;
    if (!PyArg_ParseTuple(args, "O:_inflate", &file)) return nullptr;
    return reinterpret_cast<PyObject *>(InflatedType::make(file));
}

// ---- The writer ----

// A whole file's write is one call. Between actions it lets other Python threads take their
// turn every few milliseconds, as the interpreter's own loop would; at those points the call
// holds nothing that needs the interpreter lock to be let go.
class TurnTaking {
public:
    void between_actions() {
        const Clock::time_point now = Clock::now();
        if (now - last_turn_ < kTurn) return;
        host::let_other_threads_run();
        last_turn_ = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kTurn{5};
    Clock::time_point last_turn_ = Clock::now();
};

PyObject *write_actions(PyObject *, PyObject *args) {
    PyObject *file = nullptr, *actions = nullptr;
    unsigned int threads = 1;  // the package checks the count and picks the default
    if (!PyArg_ParseTuple(args, "OO|I:_write_actions", &file, &actions, &threads)) return nullptr;
    if (threads < 1 || threads > kMostWriteThreads) {  // the package refuses it first, in its words
        PyErr_Format(PyExc_ValueError, "threads: %u is out of range (1 to %u)", threads, kMostWriteThreads);
        return nullptr;
    }
    PyObject *iterator = PyObject_GetIter(actions);
    if (!iterator) return nullptr;
    std::size_t index = 0;
    const int raw = is_raw_stream(file);
    if (raw < 0) {
        Py_DECREF(iterator);
        return nullptr;
    }
    const bool ok = guarded([&] {
        FileSink sink(file, raw != 0);
        ActionWriter writer(sink, threads);
        WholeAction w;
        TurnTaking turns;
        bool written = true;
        while (written) {
            PyObject *item = PyIter_Next(iterator);  // may run Python code: nothing is held
            if (!item) {
                written = !PyErr_Occurred();
                break;
            }
            written = guarded([&] { return fill_action(item, index++, w); });
            Py_DECREF(item);
            written = written && writer.write(w);
            turns.between_actions();
        }
        written = written && writer.finish();
        if (!written && !PyErr_Occurred()) raise_write_fault(writer.error());
        return written;
    });
    Py_DECREF(iterator);
    if (!ok) return nullptr;
    return host::int_from_long(static_cast<long>(index));
}

// The bytes write_actions writes for one Action object, its counts following its contents:
// what the changes between two files compare before decoding anything.
PyObject *action_bytes(PyObject *, PyObject *object) {
    WholeAction w;
    if (!guarded([&] { return fill_action(object, 0, w); })) return nullptr;
    std::string out;
    if (!guarded([&] {
            out.reserve(encoded_size(w));
            encode_action(w, out);
            return true;
        }))
        return nullptr;
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

// ---- Indexes of action sets (the changes between files) ----

// A 64-bit digest of an action's bytes: two actions with one digest are taken as alike. It is
// SipHash-2-4 (libsodium's crypto_shorthash) under a key drawn at random once per process, so
// that whoever writes a file cannot craft a changed action with its old version's digest.
// Digests are compared only within one process; none is stored.
struct DigestKey {
    unsigned char bytes[crypto_shorthash_KEYBYTES];
    bool ready = false;
    DigestKey() {
        if (sodium_init() < 0) return;
        randombytes_buf(bytes, sizeof bytes);
        ready = true;
    }
};

// The process's key, or nullptr with RuntimeError set where libsodium could not start.
const DigestKey *digest_key() {
    static const DigestKey key;  // made once, on first use, by whichever thread comes first
    if (key.ready) return &key;
    PyErr_SetString(PyExc_RuntimeError, "_action_index: libsodium could not start (sodium_init failed)");
    return nullptr;
}

std::uint64_t bytes_digest(const DigestKey &key, const std::string &bytes) {
    unsigned char out[crypto_shorthash_BYTES];
    static_assert(sizeof out == sizeof(std::uint64_t), "a digest is 64 bits");
    crypto_shorthash(out, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), key.bytes);
    std::uint64_t digest = 0;
    for (int k = 7; k >= 0; --k) digest = (digest << 8) | out[k];
    return digest;
}

constexpr std::size_t kSpillBlock = std::size_t{1} << 20;  // bytes written to the spill at once

bool write_all(ByteSink &sink, const std::string &bytes) {
    return bytes.empty() || sink.write(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}

// Appends the values to the bytearray (as their bytes in memory) and empties them; false
// with the exception set.
template <class T>
bool append_values(PyObject *bytearray, std::vector<T> &values) {
    const Py_ssize_t size = PyByteArray_GET_SIZE(bytearray);
    const auto added = static_cast<Py_ssize_t>(values.size() * sizeof(T));
    if (PyByteArray_Resize(bytearray, size + added) < 0) return false;
    if (added) std::memcpy(PyByteArray_AS_STRING(bytearray) + size, values.data(), static_cast<std::size_t>(added));
    values.clear();
    return true;
}

constexpr std::size_t kIndexBlock = 4096;  // actions indexed between two appends

// _action_index(actions, spill, ids, digests, ends): walks the iterable of Action objects
// once, writing each action's bytes (as write_actions writes them) to the binary file
// object spill, and appends to the three bytearrays, per action, its actionID (uint32), the
// digest of its bytes (uint64) and where its bytes end in spill (long), in the host's
// order. Returns True, or False where an item has no bytes (not an Action, or a value out
// of its field's range, as write_actions would refuse it). What the iterable and
// spill.write() raise passes through.
PyObject *action_index(PyObject *, PyObject *args) {
    PyObject *actions = nullptr, *spill = nullptr, *id_array = nullptr, *digest_array = nullptr,
             *end_array = nullptr;
    if (!PyArg_ParseTuple(args, "OOO!O!O!:_action_index", &actions, &spill, &PyByteArray_Type, &id_array,
                          &PyByteArray_Type, &digest_array, &PyByteArray_Type, &end_array))
        return nullptr;
    const DigestKey *key = digest_key();
    if (!key) return nullptr;
    const int raw = is_raw_stream(spill);
    if (raw < 0) return nullptr;
    PyObject *iterator = PyObject_GetIter(actions);
    if (!iterator) return nullptr;
    std::vector<std::uint32_t> ids;
    std::vector<std::uint64_t> digests;
    std::vector<long> ends;
    bool unwritable = false;  // an action no file holds: the caller digests the set otherwise
    auto append_all = [&] {
        return append_values(id_array, ids) && append_values(digest_array, digests) && append_values(end_array, ends);
    };
    const bool ok = guarded([&] {
        FileSink sink(spill, raw != 0);
        WholeAction w;
        std::string block, bytes;
        long end = 0;
        for (;;) {
            PyObject *item = PyIter_Next(iterator);  // may run Python code: nothing is held
            if (!item) break;
            const bool filled = guarded([&] { return fill_action(item, 0, w); });
            Py_DECREF(item);
            if (!filled) {
                unwritable = PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError);
                return false;
            }
            bytes.clear();
            bytes.reserve(encoded_size(w));  // grown once: a large action is not held twice
            encode_action(w, bytes);
            ids.push_back(w.head.actionID);
            digests.push_back(bytes_digest(*key, bytes));
            end += static_cast<long>(bytes.size());
            ends.push_back(end);
            if (block.size() + bytes.size() > kSpillBlock) {
                if (!write_all(sink, block)) return false;
                block.clear();
            }
            if (bytes.size() < kSpillBlock) {
                block += bytes;
            } else {  // a large action goes as it is, and what held it is let go
                if (!write_all(sink, bytes)) return false;
                std::string().swap(bytes);
                std::vector<WholeDetail>().swap(w.details);
            }
            if (ids.size() == kIndexBlock && !append_all()) return false;
        }
        if (PyErr_Occurred()) return false;
        return write_all(sink, block) && append_all();
    });
    Py_DECREF(iterator);
    if (!ok && unwritable) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    if (!ok) return nullptr;
    Py_RETURN_TRUE;
}

// The values of bytes of host-order machine values of type T (after a check of their size);
// false with the exception set.
template <class T>
bool values_of(PyObject *bytes, const char *what, std::vector<T> &values) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(bytes)) {
        PyErr_Format(PyExc_TypeError, "%s: expected bytes, found %s", what, Py_TYPE(bytes)->tp_name);
        return false;
    }
    if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return false;
    if (size % static_cast<Py_ssize_t>(sizeof(T)) != 0) {
        PyErr_Format(PyExc_ValueError, "%s: %zd bytes are no whole number of %d-byte values", what, size,
                     static_cast<int>(sizeof(T)));
        return false;
    }
    values.resize(static_cast<std::size_t>(size) / sizeof(T));
    if (size) std::memcpy(values.data(), data, static_cast<std::size_t>(size));
    return true;
}

template <class T>
PyObject *bytes_of(const std::vector<T> &values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(values.data()),
                                     static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

// _match_ids(old_ids, new_ids): the actions of two sets matched by ID, the k-th with an ID
// in old going with the k-th with that ID in new (IDs as bytes of uint32). Returns
// (partner, matched): per new action the number of its old one or -1 (int32), per old
// action 1 when it has a new one (uint8).
PyObject *match_ids(PyObject *, PyObject *args) {
    PyObject *old_bytes = nullptr, *new_bytes = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_match_ids", &old_bytes, &new_bytes)) return nullptr;
    std::vector<std::uint32_t> old_ids, new_ids;
    if (!values_of(old_bytes, "_match_ids", old_ids) || !values_of(new_bytes, "_match_ids", new_ids)) return nullptr;
    if (old_ids.size() > 0x7fffffffu || new_ids.size() > 0x7fffffffu)
        return PyErr_Format(PyExc_ValueError, "_match_ids: more than 2^31 - 1 actions in a set");
    std::vector<std::int32_t> partner;
    std::vector<std::uint8_t> matched;
    if (!guarded([&] {
            auto order_of = [](const std::vector<std::uint32_t> &ids) {
                std::vector<std::int32_t> order(ids.size());
                for (std::size_t i = 0; i < ids.size(); ++i) order[i] = static_cast<std::int32_t>(i);
                std::stable_sort(order.begin(), order.end(),
                                 [&](std::int32_t a, std::int32_t b) { return ids[a] < ids[b]; });
                return order;
            };
            const std::vector<std::int32_t> old_order = order_of(old_ids), new_order = order_of(new_ids);
            partner.assign(new_ids.size(), -1);
            matched.assign(old_ids.size(), 0);
            for (std::size_t i = 0, j = 0; i < old_order.size() && j < new_order.size();) {
                const std::uint32_t old_id = old_ids[old_order[i]], new_id = new_ids[new_order[j]];
                if (old_id == new_id) {
                    partner[new_order[j]] = old_order[i];
                    matched[old_order[i]] = 1;
                    ++i, ++j;
                } else if (old_id < new_id) {
                    ++i;
                } else {
                    ++j;
                }
            }
            return true;
        }))
        return nullptr;
    return Py_BuildValue("(NN)", bytes_of(partner), bytes_of(matched));
}

// _moved_flags(partner): per new action (its old one's number or -1, int32) 1 when it has an
// old one and is not among a longest run of them in increasing old order: the fewest
// actions that, moved, turn the old order into the new (uint8).
PyObject *moved_flags(PyObject *, PyObject *partner_bytes) {
    std::vector<std::int32_t> partner;
    if (!values_of(partner_bytes, "_moved_flags", partner)) return nullptr;
    std::vector<std::uint8_t> moved;
    if (!guarded([&] {
            std::vector<std::int32_t> tails, tail_at, before(partner.size(), -1);
            for (std::size_t n = 0; n < partner.size(); ++n) {
                const std::int32_t position = partner[n];
                if (position < 0) continue;
                const std::size_t slot = static_cast<std::size_t>(
                    std::lower_bound(tails.begin(), tails.end(), position) - tails.begin());
                if (slot) before[n] = tail_at[slot - 1];
                if (slot == tails.size()) {
                    tails.push_back(position);
                    tail_at.push_back(static_cast<std::int32_t>(n));
                } else {
                    tails[slot] = position;
                    tail_at[slot] = static_cast<std::int32_t>(n);
                }
            }
            moved.assign(partner.size(), 0);
            for (std::size_t n = 0; n < partner.size(); ++n) moved[n] = partner[n] >= 0;
            for (std::int32_t n = tail_at.empty() ? -1 : tail_at.back(); n >= 0; n = before[n]) moved[n] = 0;
            return true;
        }))
        return nullptr;
    return bytes_of(moved);
}

// _changed_flags(partner, old_digests, new_digests): per old action 1 when its new one
// (partner: per new action the old one's number or -1, int32) has another digest (uint64).
PyObject *changed_flags(PyObject *, PyObject *args) {
    PyObject *partner_bytes = nullptr, *old_bytes = nullptr, *new_bytes = nullptr;
    if (!PyArg_ParseTuple(args, "OOO:_changed_flags", &partner_bytes, &old_bytes, &new_bytes)) return nullptr;
    std::vector<std::int32_t> partner;
    std::vector<std::uint64_t> old_digests, new_digests;
    if (!values_of(partner_bytes, "_changed_flags", partner) || !values_of(old_bytes, "_changed_flags", old_digests) ||
        !values_of(new_bytes, "_changed_flags", new_digests))
        return nullptr;
    if (partner.size() != new_digests.size())
        return PyErr_Format(PyExc_ValueError, "_changed_flags: %zd partners for %zd new digests",
                            static_cast<Py_ssize_t>(partner.size()), static_cast<Py_ssize_t>(new_digests.size()));
    std::vector<std::uint8_t> changed(old_digests.size(), 0);
    for (std::size_t n = 0; n < partner.size(); ++n) {
        const std::int32_t old_number = partner[n];
        if (old_number < 0) continue;
        if (static_cast<std::size_t>(old_number) >= old_digests.size())
            return PyErr_Format(PyExc_ValueError, "_changed_flags: old action %d of %zd", old_number,
                                static_cast<Py_ssize_t>(old_digests.size()));
        changed[old_number] = old_digests[old_number] != new_digests[n];
    }
    return bytes_of(changed);
}

// _merge_sources(own_base, own_other, base_digests, own_digests, other_digests, own_is_ours):
// where the three-way merge takes each action of one side ("own", ours or theirs) from, by
// the digests of its versions (own_base, own_other: per own action the number of its base
// and other version or -1, int32; digests uint64). Per own action (uint8): 0 no merged
// version, 1 ours, 2 theirs, 3 the versions all differ (a field merge or a conflict, decided
// by the caller). Of theirs (own_is_ours 0), an action ours has too is 0: it is ours' to say.
PyObject *merge_sources(PyObject *, PyObject *args) {
    PyObject *base_of = nullptr, *other_of = nullptr, *base_bytes = nullptr, *own_bytes = nullptr,
             *other_bytes = nullptr;
    int own_is_ours = 1;
    if (!PyArg_ParseTuple(args, "OOOOOi:_merge_sources", &base_of, &other_of, &base_bytes, &own_bytes, &other_bytes,
                          &own_is_ours))
        return nullptr;
    std::vector<std::int32_t> own_base, own_other;
    std::vector<std::uint64_t> base_digests, own_digests, other_digests;
    if (!values_of(base_of, "_merge_sources", own_base) || !values_of(other_of, "_merge_sources", own_other) ||
        !values_of(base_bytes, "_merge_sources", base_digests) || !values_of(own_bytes, "_merge_sources", own_digests) ||
        !values_of(other_bytes, "_merge_sources", other_digests))
        return nullptr;
    const std::size_t count = own_digests.size();
    if (own_base.size() != count || own_other.size() != count)
        return PyErr_Format(PyExc_ValueError, "_merge_sources: %zd actions, %zd base and %zd other numbers",
                            static_cast<Py_ssize_t>(count), static_cast<Py_ssize_t>(own_base.size()),
                            static_cast<Py_ssize_t>(own_other.size()));
    struct Version {
        bool present;
        std::uint64_t digest;
        bool operator==(const Version &o) const { return present == o.present && (!present || digest == o.digest); }
    };
    auto version = [](std::int32_t number, const std::vector<std::uint64_t> &digests, bool &valid) {
        if (number < 0) return Version{false, 0};
        if (static_cast<std::size_t>(number) >= digests.size()) valid = false;
        return valid ? Version{true, digests[static_cast<std::size_t>(number)]} : Version{false, 0};
    };
    std::vector<std::uint8_t> sources(count, 0);
    bool valid = true;
    for (std::size_t n = 0; n < count && valid; ++n) {
        if (!own_is_ours && own_other[n] >= 0) continue;
        const Version base = version(own_base[n], base_digests, valid), own{true, own_digests[n]},
                      other = version(own_other[n], other_digests, valid);
        const Version &ours = own_is_ours ? own : other, &theirs = own_is_ours ? other : own;
        if (ours == theirs || theirs == base)
            sources[n] = ours.present ? 1 : 0;
        else if (ours == base)
            sources[n] = theirs.present ? 2 : 0;
        else
            sources[n] = 3;
    }
    if (!valid) return PyErr_Format(PyExc_ValueError, "_merge_sources: an action number out of range");
    return bytes_of(sources);
}

// _repeats(ids): of the actions whose IDs (bytes of uint32) are not the first with their ID,
// (number, its number among the actions with that ID) as bytes of uint32 pairs, in ID
// order: few in a file, so that the rest costs nothing to hold.
PyObject *repeats(PyObject *, PyObject *id_bytes) {
    std::vector<std::uint32_t> ids;
    if (!values_of(id_bytes, "_repeats", ids)) return nullptr;
    std::vector<std::uint32_t> pairs;
    if (!guarded([&] {
            std::vector<std::uint32_t> order(ids.size());
            for (std::size_t i = 0; i < ids.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
            std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return ids[a] < ids[b]; });
            std::uint32_t count = 0;
            for (std::size_t k = 1; k < order.size(); ++k) {
                count = ids[order[k]] == ids[order[k - 1]] ? count + 1 : 0;
                if (count) {
                    pairs.push_back(order[k]);
                    pairs.push_back(count);
                }
            }
            return true;
        }))
        return nullptr;
    return bytes_of(pairs);
}

// The inflater whole files are read with, chosen when the module was built.
PyObject *inflater_name(PyObject *, PyObject *) {
    return host::text_from(Inflater::name().c_str());
}

// The library write_actions deflates with on several threads, chosen when the module was
// built: "libdeflate" writes one gzip member per block, "zlib" one member in all.
PyObject *deflater_name(PyObject *, PyObject *) {
    return host::text_from(ParallelDeflate::deflater());
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
    {"_inflate", inflate, METH_VARARGS,
     "The uncompressed bytes of a binary file object as read_actions reads them, as a binary stream."},
    {"_inflater", inflater_name, METH_NOARGS, "The inflater whole files are read with."},
    {"_action_bytes", action_bytes, METH_O, "The bytes write_actions writes for one Action object."},
    {"_match_ids", match_ids, METH_VARARGS,
     "Two sets' actions matched by ID (bytes of uint32): (per new its old one or -1, per old 1 when matched)."},
    {"_moved_flags", moved_flags, METH_O,
     "Per new action 1 when it moved: the fewest that, moved, turn the old order into the new."},
    {"_merge_sources", merge_sources, METH_VARARGS,
     "Where a three-way merge takes each action of one side from, by the digests of its versions."},
    {"_repeats", repeats, METH_O,
     "(number, occurrence) of the actions that are not the first with their ID, as uint32 pairs."},
    {"_changed_flags", changed_flags, METH_VARARGS,
     "Per old action 1 when its new one has another digest."},
    {"_action_index", action_index, METH_VARARGS,
     "Walks actions once, writing their bytes to a file and their IDs, digests and ends to three bytearrays."},
    {"_deflater", deflater_name, METH_NOARGS, "The library write_actions deflates with on threads."},
    {"_write_threads", write_threads, METH_NOARGS, "The threads write_actions uses by default."},
    {nullptr, nullptr, 0, nullptr}};


}  // namespace

bool add_action_io(PyObject *module) {
    if (!ReaderType::ready("_qn4tGenericActionSupport.ActionReader", reader_next, nullptr, reader_getset) ||
        !InflatedType::ready("_qn4tGenericActionSupport.Inflated", nullptr, inflated_methods, inflated_getset))
        return false;
    return add_functions(module, functions);
}

std::unique_ptr<ByteSource> file_source(PyObject *file) { return std::make_unique<FileSource>(file); }

}  // namespace qn4t
