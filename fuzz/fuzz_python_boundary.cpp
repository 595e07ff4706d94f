// Any call of any module function with any argument tuple either returns a value with no
// exception pending or returns null with a Python exception set (never the interpreter's
// SystemError for a broken result), never crashes, and leaves the reference counts of its
// arguments as they were (None's aside, which the interpreter's own caches take and drop;
// and when arguments run Python code of their own, which may take and drop references to
// shared objects such as small integers, those of the arguments that only the call holds); after every record is deleted and every stream closed, nothing
// stays live.
//
// Input: a sequence of calls. Each call picks a module function and builds its arguments
// from the bytes: strings, integers of every width, None, "NULL", live, deleted, retyped
// and forged references, shadow-class instances, objects of the wrong kind, and objects
// that run Python code while the call converts them (an integer's __index__/__int__, a
// reference's `this` property, a `this` string's __del__) which deletes a pooled record,
// closes a pooled stream and/or creates records, so that a call meets its own record
// deleted and new records made in the middle of it. The references that calls return,
// and the records that such code creates, join the pool later arguments draw from. Paths given to
// the open are mapped into a scratch directory, and only objects that the harness keeps
// are given to the `_swigregister` functions, which keep a reference by design.
#include <Python.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "binding/live_references.h"
#include "binding/pointer_string.h"
#include "binding/type_registry.h"
#include "core/address_arena.h"
#include "core/record_stream.h"
#include "core/records.h"
#include "core/text.h"
#include "embedded_module.h"
#include "interface/stream_interface.h"
#include "memory_file.h"

namespace {

using namespace qn4t_fuzz;

constexpr std::size_t kMaxCalls = 64;
constexpr long kLargestSeek = 1 << 16;  // a write stream fills a forward seek with zeros

struct Function {
    std::string name;
    PyObject *callable;
    int arity;
};

struct Harness {
    std::vector<Function> functions;
    std::vector<std::string> read_paths;  // fixtures that an open for reading may name
    std::string write_path;
    PyObject *holder_class = nullptr;  // instances take any "this"
    PyObject *plain_class = nullptr;   // instances have no "this"
    PyObject *string_subclass = nullptr;
    PyObject *running_classes[3] = {};  // Reentrant, RunningThis, DroppedThis
    PyObject *created = nullptr;        // records that running code created, for the pool
    std::vector<PyObject *> registrable;  // held for the life of the process
};

int arity_of(const std::string &name) {
    auto ends = [&](const char *suffix) {
        const std::string s(suffix);
        return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
    };
    if (name.rfind("new_", 0) == 0) return 0;
    if (ends("_set") || ends("_read") || ends("_write") || name == "qn4tGenericOpen" ||
        name == "qn4tGenericSeek")
        return 2;
    return 1;
}

// An action with texts, a spell trailer and one detail of each kind, as a native script
// would write it.
void write_fixture_actions(const std::string &path) {
    gzFile out = qn4tGenericOpen(path.c_str(), 1);
    qn4tGeneric_Action_Header spell;
    spell.actionID = 7;
    spell.actionType = qn4tGeneric_Action_Header::kSpellType;
    spell.numDetails = 3;
    qn4t::replace_text(spell.name, "Frost", 5);
    spell.nameLen = 5;
    qn4t::replace_text(spell.desc, "cold\0hard", 9);
    spell.descLen = 9;
    spell.write(out);
    qn4tGeneric_Action_Detail_Header detail;
    detail.type = 1;
    detail.write(out);
    qn4tGeneric_Damage_Details{}.write(out);
    qn4tGeneric_Healing_Details{}.write(out);
    qn4tGeneric_StatMod_Details statmod;
    statmod.numStatMods = 1;
    statmod.write(out);
    qn4tGeneric_StatMod_Stat_Details{}.write(out);
    qn4tGenericClose(out);
}

std::string file_bytes(const std::string &path) {
    std::string bytes;
    if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
        std::fclose(f);
    }
    return bytes;
}

void put_file(const std::string &path, const std::string &bytes) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot write a fixture file");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::vector<std::string> make_fixture_files(const std::string &dir) {
    const std::string actions = dir + "/actions.gz";
    write_fixture_actions(actions);
    std::string corrupt = file_bytes(actions);
    for (std::size_t i = corrupt.size() / 3; i < corrupt.size() / 2; ++i) corrupt[i] ^= 0x5a;
    put_file(dir + "/corrupt.gz", corrupt);
    std::string plain;
    gzFile in = gzopen(actions.c_str(), "rb");
    char chunk[256];
    int n;
    while ((n = gzread(in, chunk, sizeof chunk)) > 0) plain.append(chunk, static_cast<std::size_t>(n));
    gzclose(in);
    put_file(dir + "/plain.bin", plain);
    put_file(dir + "/empty.gz", "");
    return {actions, dir + "/corrupt.gz", dir + "/plain.bin", dir + "/empty.gz", dir,
            dir + "/missing.gz"};
}

Harness &harness() {
    static Harness h = [] {
        Harness made;
        PyObject *module = embedded_module();
        PyObject *names = PyObject_Dir(module);
        for (Py_ssize_t i = 0; names && i < PyList_Size(names); ++i) {
            const char *name = PyString_AsString(PyList_GetItem(names, i));
            PyObject *value = PyObject_GetAttrString(module, name);
            if (value && PyCFunction_Check(value))
                made.functions.push_back({name, value, arity_of(name)});
            else
                Py_XDECREF(value);
        }
        Py_XDECREF(names);
        if (made.functions.empty()) fail("the module has no functions");

        char dir[] = "/tmp/qn4t-fuzz-XXXXXX";
        if (!mkdtemp(dir)) fail("cannot make a scratch directory");
        made.read_paths = make_fixture_files(dir);
        made.write_path = std::string(dir) + "/out.gz";

        PyObject *classes = run_python(
            "class Holder(object): pass\n"
            "class Plain(object): pass\n"
            "class StringSubclass(str): pass\n"
            "class Shadow(object):\n"
            "    def __init__(self, this): self.this = this\n"
            "class Refusing(object):\n"
            "    def __init__(self, this): raise ValueError(this)\n"
            "class Slotted(object):\n"
            "    __slots__ = ('this',)\n"
            "    def __init__(self, this): self.this = this\n"
            "import sys\n"
            "import _qn4tGenericActionLoader as m\n"
            "made = []\n"
            "def act(victim, create, mode):\n"
            "    try:\n"
            "        name = victim[17:]\n"
            "        if mode & 1 and name == '_p_gzFile': m.qn4tGenericClose(victim)\n"
            "        elif mode & 1: getattr(m, 'delete_' + name[3:])(victim)\n"
            "    except Exception:\n"
            "        sys.exc_clear()  # else the traceback outlives the call, holding references\n"
            "    if mode & 2:\n"
            "        for _ in range(1 + mode // 4): made.append(getattr(m, 'new_' + create)())\n"
            "class Running(object):\n"
            "    def __init__(self, first, victim, create, mode):\n"
            "        self.first, self.victim, self.create, self.mode = first, victim, create, mode\n"
            "    def act(self): act(self.victim, self.create, self.mode)\n"
            "class Reentrant(Running):\n"
            "    def __index__(self):\n"
            "        self.act()\n"
            "        return self.first\n"
            "    __int__ = __index__\n"
            "class RunningThis(Running):\n"
            "    @property\n"
            "    def this(self):\n"
            "        self.act()\n"
            "        return self.first\n"
            "class DyingText(str):\n"
            "    def __del__(self): act(self.victim, self.create, self.mode)\n"
            "class DroppedThis(Running):\n"
            "    @property\n"
            "    def this(self):\n"
            "        text = DyingText(self.first)\n"
            "        text.victim, text.create, text.mode = self.victim, self.create, self.mode\n"
            "        return text\n");
        auto take = [&](const char *name) {
            PyObject *value = PyDict_GetItemString(classes, name);
            Py_INCREF(value);
            return value;
        };
        made.holder_class = take("Holder");
        made.plain_class = take("Plain");
        made.string_subclass = take("StringSubclass");
        made.running_classes[0] = take("Reentrant");
        made.running_classes[1] = take("RunningThis");
        made.running_classes[2] = take("DroppedThis");
        made.created = take("made");
        made.registrable = {take("Shadow"), take("Refusing"), take("Slotted"),
                            reinterpret_cast<PyObject *>(&PyString_Type), Py_None,
                            PyInt_FromLong(7)};
        Py_INCREF(&PyString_Type);
        Py_INCREF(Py_None);
        Py_DECREF(classes);
        return made;
    }();
    return h;
}

// The pointer string of a reference: the string itself or an instance's string "this".
std::string reference_text(PyObject *reference) {
    PyObject *text = reference;
    if (!PyString_Check(reference)) {
        text = PyObject_GetAttrString(reference, "this");
        if (!text) {
            PyErr_Clear();
            return "";
        }
        Py_DECREF(text);  // the instance keeps it
        if (!PyString_Check(text)) return "";
    }
    return std::string(PyString_AS_STRING(text), static_cast<std::size_t>(PyString_GET_SIZE(text)));
}

std::string type_name_of(const std::string &text) {
    return text.size() > 1 + qn4t::kPointerDigits ? text.substr(1 + qn4t::kPointerDigits) : "";
}

bool is_reference(PyObject *object) {
    return type_name_of(reference_text(object)).rfind("_p_", 0) == 0;
}

class Call {
public:
    Call(FuzzedDataProvider &input, std::vector<PyObject *> &pool) : in_(input), pool_(pool) {}

    PyObject *argument() {
        switch (in_.ConsumeIntegralInRange(0, 19)) {
        case 0: return none();
        case 1: return PyString_FromString("NULL");
        case 2: return string(in_.ConsumeRandomLengthString(300));
        case 3: return PyInt_FromLong(in_.ConsumeIntegralInRange<long>(-300, 300));
        case 4: return PyInt_FromLong(in_.ConsumeIntegral<long>());
        case 5: return boundary_integer();
        case 6: return long_integer();
        case 7: return pooled();
        case 8: return forged(in_.ConsumeIntegral<std::uint64_t>());
        case 9: return retyped();
        case 10: return instance_with(pooled());
        case 11: return in_.ConsumeBool() ? instance_with(PyInt_FromLong(1))
                                          : PyObject_CallObject(harness().plain_class, nullptr);
        case 12: return unicode_of(pooled());
        case 13: return PyFloat_FromDouble(in_.ConsumeFloatingPoint<double>());
        case 14: return PyTuple_New(0);
        case 15: return subclass_of(pooled());
        case 16: return string(std::string(in_.ConsumeIntegralInRange<std::size_t>(256, 70000), 'A'));
        default: return running();
        }
    }

    // Whether an argument made so far runs Python code while it is converted.
    bool runs_code() const { return runs_code_; }

    PyObject *registrable() {
        const auto &objects = harness().registrable;
        PyObject *object = objects[in_.ConsumeIntegralInRange<std::size_t>(0, objects.size() - 1)];
        Py_INCREF(object);
        return object;
    }

private:
    static PyObject *none() {
        Py_INCREF(Py_None);
        return Py_None;
    }
    static PyObject *string(const std::string &s) {
        return PyString_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }

    PyObject *boundary_integer() {
        static const long values[] = {0, 1, -1, 255, 256, 32767, 32768, -32768, -32769, 65535, 65536,
                                      2147483647L, 2147483648L, -2147483647L - 1, -2147483649L,
                                      4294967295L, 4294967296L, 9223372036854775807L,
                                      -9223372036854775807L - 1};
        const long value = values[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(values) - 1)];
        return in_.ConsumeBool() ? PyInt_FromLong(value) : PyLong_FromLong(value);
    }

    PyObject *long_integer() {
        if (in_.ConsumeBool()) return PyLong_FromUnsignedLongLong(in_.ConsumeIntegral<std::uint64_t>());
        std::string digits = (in_.ConsumeBool() ? "-1" : "1") +
                             std::string(in_.ConsumeIntegralInRange(19, 60), '0');
        return PyLong_FromString(const_cast<char *>(digits.c_str()), nullptr, 10);
    }

    PyObject *pooled() {
        if (pool_.empty()) return none();
        PyObject *object = pool_[in_.ConsumeIntegralInRange<std::size_t>(0, pool_.size() - 1)];
        Py_INCREF(object);
        return object;
    }

    std::string some_type_name() {
        if (in_.ConsumeIntegralInRange(0, 8) == 8) return in_.ConsumeRandomLengthString(40);
        return qn4t::TypeTable[in_.ConsumeIntegralInRange(0, qn4t::kTypeSlotCount - 1)]->name;
    }

    PyObject *forged(std::uint64_t address) {
        char digits[qn4t::kPointerDigits];
        qn4t::EncodeHex(digits, &address, sizeof address);
        return string("_" + std::string(digits, sizeof digits) + some_type_name());
    }

    // A pooled reference's address under another (or the same) type name.
    PyObject *retyped() {
        const std::string text = pool_.empty() ? "" : reference_text(pool_[in_.ConsumeIntegralInRange<
                                                          std::size_t>(0, pool_.size() - 1)]);
        if (text.size() < 1 + qn4t::kPointerDigits) return forged(in_.ConsumeIntegral<std::uint64_t>());
        return string(text.substr(0, 1 + qn4t::kPointerDigits) + some_type_name());
    }

    // An object that runs Python code while it is converted: an integer (whose conversion
    // runs it) or a reference to a pooled object (whose `this` runs it when read, or when
    // the string is dropped). The code deletes or closes a pooled object, creates records
    // of a type, or both.
    PyObject *running() {
        const std::size_t kind = in_.ConsumeIntegralInRange<std::size_t>(0, 2);
        PyObject *first = kind == 0 ? PyInt_FromLong(in_.ConsumeIntegralInRange<long>(-300, 70000))
                                    : string(pool_text());
        PyObject *victim = string(pool_text());
        const qn4t::TypeSlot slot =
            qn4t::record_slot(in_.ConsumeIntegralInRange<std::size_t>(0, qn4t::kRecordTypeCount - 1));
        const int mode = in_.ConsumeIntegralInRange(0, 15);  // 1 delete, 2 create, 4.. more
        PyObject *object = PyObject_CallFunction(harness().running_classes[kind], const_cast<char *>("OOsi"),
                                                 first, victim, qn4t::TypeTable[slot]->name + 3, mode);
        Py_DECREF(first);
        Py_DECREF(victim);
        if (!object) fail("cannot make a running object");
        runs_code_ = true;
        return object;
    }

    std::string pool_text() {
        if (pool_.empty()) return "";
        return reference_text(pool_[in_.ConsumeIntegralInRange<std::size_t>(0, pool_.size() - 1)]);
    }

    PyObject *instance_with(PyObject *value) {
        PyObject *instance = PyObject_CallObject(harness().holder_class, nullptr);
        if (!instance) fail("cannot make an instance");
        if (PyObject_SetAttrString(instance, "this", value) != 0) PyErr_Clear();
        Py_DECREF(value);
        return instance;
    }

    PyObject *unicode_of(PyObject *reference) {
        const std::string text = reference_text(reference);
        Py_DECREF(reference);
        return PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }

    PyObject *subclass_of(PyObject *reference) {
        PyObject *text = string(reference_text(reference));
        Py_DECREF(reference);
        PyObject *object = PyObject_CallFunctionObjArgs(harness().string_subclass, text, nullptr);
        Py_DECREF(text);
        return object;
    }

    FuzzedDataProvider &in_;
    std::vector<PyObject *> &pool_;
    bool runs_code_ = false;
};

bool is_text(PyObject *object) { return PyString_Check(object) || PyUnicode_Check(object); }

// Keeps the open inside the scratch directory: reading names a fixture, anything else
// writes the scratch output file.
void confine_open(std::vector<PyObject *> &arguments, FuzzedDataProvider &input) {
    const bool reading = arguments.size() > 1 && PyInt_CheckExact(arguments[1]) &&
                         PyInt_AS_LONG(arguments[1]) == 0;
    const auto &paths = harness().read_paths;
    const std::string path =
        reading ? paths[input.ConsumeIntegralInRange<std::size_t>(0, paths.size() - 1)]
                : harness().write_path;
    for (PyObject *&argument : arguments) {
        if (!is_text(argument)) continue;
        Py_DECREF(argument);
        argument = PyString_FromString(path.c_str());
    }
}

// Keeps a seek that reaches the stream short; values the parser refuses stay as they are.
void shorten_seek(std::vector<PyObject *> &arguments) {
    if (arguments.size() < 2 || !(PyInt_Check(arguments[1]) || PyLong_Check(arguments[1]))) return;
    const long long offset = PyLong_Check(arguments[1]) ? PyLong_AsLongLong(arguments[1])
                                                        : PyInt_AS_LONG(arguments[1]);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    if (offset < -2147483648LL || offset > 2147483647LL || std::llabs(offset) <= kLargestSeek) return;
    Py_DECREF(arguments[1]);
    arguments[1] = PyInt_FromLong(static_cast<long>(offset % kLargestSeek));
}

// Moves the records that running arguments created into the pool, which owns them then.
void take_made_records(std::vector<PyObject *> &pool) {
    PyObject *made = harness().created;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(made); ++i) {
        PyObject *record = PyList_GET_ITEM(made, i);
        if (!is_reference(record)) continue;
        Py_INCREF(record);
        pool.push_back(record);
    }
    if (PyList_SetSlice(made, 0, PyList_GET_SIZE(made), nullptr) != 0) fail("cannot empty the list");
}

void call_one(FuzzedDataProvider &input, std::vector<PyObject *> &pool) {
    const auto &functions = harness().functions;
    const Function &function = functions[input.ConsumeIntegralInRange<std::size_t>(0, functions.size() - 1)];
    const bool registering = function.name.find("_swigregister") != std::string::npos;
    const int arity = input.ConsumeIntegralInRange(0, 7) == 0 ? input.ConsumeIntegralInRange(0, 4)
                                                              : function.arity;
    Call call(input, pool);
    std::vector<PyObject *> arguments;
    for (int i = 0; i < arity; ++i) {
        PyObject *argument = registering ? call.registrable() : call.argument();
        if (!argument) fail("cannot make an argument");
        arguments.push_back(argument);
    }
    if (function.name == "qn4tGenericOpen") confine_open(arguments, input);
    if (function.name == "qn4tGenericSeek") shorten_seek(arguments);

    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(arguments.size()));
    std::vector<Py_ssize_t> counts;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), arguments[i]);  // steals
    }
    for (PyObject *argument : arguments) counts.push_back(Py_REFCNT(argument));

    PyObject *result = PyObject_CallObject(function.callable, tuple);
    if (result && PyErr_Occurred()) fail("a result came back with an exception pending");
    if (!result) {
        if (!PyErr_Occurred()) fail("a null result came back without an exception");
        if (PyErr_ExceptionMatches(PyExc_SystemError)) {
            PyErr_Print();
            fail("the interpreter reported a broken result (SystemError)");
        }
        PyErr_Clear();
    } else if (is_reference(result)) {
        pool.push_back(result);  // the pool owns it now
    } else {
        Py_DECREF(result);
    }
    if (call.runs_code()) PyGC_Collect();  // its garbage goes now, not in a later call
    if (!registering)
        for (std::size_t i = 0; i < arguments.size(); ++i)
            if (Py_REFCNT(arguments[i]) != counts[i] && arguments[i] != Py_None &&
                (!call.runs_code() || counts[i] == 1)) {
                std::fprintf(stderr, "%s: argument %zu count %zd -> %zd\n", function.name.c_str(), i,
                             counts[i], Py_REFCNT(arguments[i]));
                fail("a call changed the reference count of an argument");
            }
    Py_DECREF(tuple);
    take_made_records(pool);
}


// Deletes every record and closes every stream of the pool. The module keeps stream cells
// for the life of the process by design; the harness reclaims the ones it opened, so that
// a long run does not grow.
void release_pool(std::vector<PyObject *> &pool) {
    for (PyObject *reference : pool) {
        const std::string type = type_name_of(reference_text(reference));
        if (type == qn4t::TypeTable[qn4t::kStreamSlot]->name) {
            void *cell = nullptr;
            if (qn4t::ConvertPointer(reference, &cell, qn4t::TypeTable[qn4t::kStreamSlot], 0) == 0 && cell) {
                qn4tGenericClose(static_cast<qn4t::StreamCell *>(cell)->handle);
                qn4t::live_references().remove(cell);
                qn4t::destroy_handed_out(static_cast<qn4t::StreamCell *>(cell));
            }
        } else if (type.rfind("_p_", 0) == 0) {
            PyObject *deleted = call_module(("delete_" + type.substr(3)).c_str(), "(O)", reference);
            if (!deleted) PyErr_Clear();  // deleted by the input already, or a forged name
            Py_XDECREF(deleted);
        }
        Py_DECREF(reference);
    }
    pool.clear();
    for (qn4t::TypeDescriptor *type : qn4t::TypeTable) qn4t::SetTypeClientData(type, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Harness &h = harness();
    FuzzedDataProvider input(data, size);
    std::vector<PyObject *> pool;
    for (int write_flag : {0, 1}) {
        PyObject *stream = call_module("qn4tGenericOpen", "(si)",
                                       write_flag ? h.write_path.c_str() : h.read_paths[0].c_str(),
                                       write_flag);
        if (!stream) fail("cannot open a fixture stream");
        pool.push_back(stream);
    }
    for (std::size_t i = 0; i < kMaxCalls && input.remaining_bytes() > 0; ++i) call_one(input, pool);
    release_pool(pool);
    if (qn4t::live_references().size() != 0) fail("objects stayed live after every release");
    return 0;
}
